#include "filterbar.h"

#include "historytext.h"
#include "hexbytes.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace {
const char* const VerdictNames[] = {"good", "bad", "ACK", "NAK", "no reply", "malformed"};
} // namespace

FilterBar::FilterBar(QWidget* parent)
    : QWidget(parent), m_types(new QLineEdit(this)), m_pattern(new QLineEdit(this)), m_from(new QLineEdit(this)),
      m_to(new QLineEdit(this)), m_said(new QLabel(this))
{
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    m_types->setObjectName(QStringLiteral("filterTypes"));
    m_types->setPlaceholderText(QStringLiteral("type 01 7F"));
    m_types->setMaximumWidth(90);
    row->addWidget(new QLabel(QStringLiteral("筛选"), this));
    row->addWidget(m_types);
    for (const char* name : VerdictNames)
        m_verdicts << toggle(QString::fromUtf8(name), QStringLiteral("verdict ") + QString::fromUtf8(name));
    for (QToolButton* b : m_verdicts)
        row->addWidget(b);
    m_directions << toggle(QStringLiteral("收"), QStringLiteral("direction received"))
                 << toggle(QStringLiteral("发"), QStringLiteral("direction sent"));
    for (QToolButton* b : m_directions)
        row->addWidget(b);
    m_pattern->setObjectName(QStringLiteral("filterPattern"));
    m_pattern->setPlaceholderText(QStringLiteral("data 81 ?? 0A"));
    row->addWidget(m_pattern, 1);
    m_from->setObjectName(QStringLiteral("filterFrom"));
    m_to->setObjectName(QStringLiteral("filterTo"));
    m_from->setPlaceholderText(QStringLiteral("from 12:00:00 / +10"));
    m_to->setPlaceholderText(QStringLiteral("to"));
    for (QLineEdit* e : {m_from, m_to})
        e->setMaximumWidth(130);
    row->addWidget(m_from);
    row->addWidget(m_to);
    m_said->setStyleSheet(QStringLiteral("color: #c00000;"));
    row->addWidget(m_said);
    for (QLineEdit* e : {m_types, m_pattern, m_from, m_to})
        connect(e, &QLineEdit::editingFinished, this, &FilterBar::apply);
}

QToolButton* FilterBar::toggle(const QString& text, const QString& name)
{
    auto* b = new QToolButton(this);
    b->setText(text);
    b->setObjectName(name);
    b->setCheckable(true);
    connect(b, &QToolButton::toggled, this, &FilterBar::apply);
    return b;
}

QToolButton* FilterBar::verdictButton(History::Verdict v) const
{
    for (int i = 0; i < m_verdicts.size(); ++i) {
        if (v == (1u << i))
            return m_verdicts[i];
    }
    return nullptr;
}

QToolButton* FilterBar::directionButton(History::DirectionBits d) const
{
    return d == History::DirectionSent ? m_directions[1] : m_directions[0];
}

bool FilterBar::settings(History::FilterSpec* out, QString* why) const
{
    History::FilterSpec wanted;
    std::vector<std::uint8_t> types;
    std::string error;
    if (!HexBytes::parse(m_types->text().toStdString(), types, error)) {
        *why = QStringLiteral("type: ") + QString::fromStdString(error);
        return false;
    }
    if (!types.empty()) {
        wanted.types.reset();
        for (std::uint8_t t : types)
            wanted.types.set(t);
    }
    const auto bits = [](const QList<QToolButton*>& buttons, unsigned all) {
        unsigned on = 0;
        for (int i = 0; i < buttons.size(); ++i)
            on |= buttons[i]->isChecked() ? 1u << i : 0u;
        return on == 0 ? all : on;
    };
    wanted.verdicts = bits(m_verdicts, History::AnyVerdict);
    wanted.directions = bits(m_directions, History::AnyDirection);
    if (!wanted.pattern.parse(m_pattern->text().toStdString(), error)) {
        *why = QString::fromStdString(error);
        return false;
    }
    qint64 us = 0;
    for (QLineEdit* e : {m_from, m_to}) {
        if (e->text().trimmed().isEmpty())
            continue;
        if (!HistoryText::parseTime(e->text(), m_firstWallUs, &us)) {
            *why = QStringLiteral("\"%1\" is neither seconds (+10.5) nor a time (12:34:56.789)").arg(e->text());
            return false;
        }
        (e == m_from ? wanted.fromUs : wanted.toUs) = us;
    }
    *out = wanted;
    return true;
}

void FilterBar::apply()
{
    History::FilterSpec s;
    QString why;
    const bool ok = settings(&s, &why);
    m_said->setText(ok ? QString() : why);
    m_said->setToolTip(m_said->text());
    if (ok)
        emit changed(s);
}
