#include "analyz.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace {

QLineEdit* makeField(QWidget* parent, int x, int maxLength)
{
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(x, 5, 30, 21);
    edit->setMaxLength(maxLength);
    return edit;
}

} // namespace

Analyz::Analyz()
    : QMainWindow(nullptr)
    , payload(new char[PayloadSize]())
    , groupBox(new QGroupBox)
    , typeEdit(nullptr)
    , lenEdit(nullptr)
    , dataEdits(nullptr)
    , sendButton(nullptr)
    // The validator anchors the pattern to the whole text, as QRegExpValidator
    // did; case-sensitive, so lower case is refused rather than converted.
    , hexValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-F0-9]+$"))))
    , lenValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-D0-9]+$"))))
    , count(0)
{
    groupBox->resize(710, 31);

    // Creation order is the row's keyboard focus order.
    typeEdit = makeField(groupBox, 20, 2);
    typeEdit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    typeEdit->setValidator(hexValidator);

    lenEdit = makeField(groupBox, 70, 1);
    lenEdit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lenEdit->setValidator(lenValidator);

    dataEdits = new QLineEdit*[DataFields];
    for (int i = 0; i < DataFields; ++i) {
        dataEdits[i] = makeField(groupBox, 120 + 40 * i, 2);
        dataEdits[i]->setValidator(hexValidator);
        dataEdits[i]->setEnabled(false);
    }

    sendButton = new QPushButton(QStringLiteral("send"), groupBox);
    sendButton->setGeometry(640, 5, 60, 23);

    connect(lenEdit, SIGNAL(textEdited(const QString &)), this, SLOT(len_slots(const QString&)));
    connect(sendButton, SIGNAL(released()), this, SLOT(send_slots()));
}

Analyz::~Analyz()
{
    delete typeEdit;
    delete lenEdit;
    for (int i = 0; i < DataFields; ++i)
        delete dataEdits[i];
    delete[] dataEdits;
    delete[] payload;
    delete hexValidator;
    delete lenValidator;
    delete sendButton;
    delete groupBox;
}

void Analyz::SetPanel(QWidget* parent, int x, int y)
{
    groupBox->setParent(parent);
    groupBox->move(x, y);
    // Re-parenting hides a widget; a host that is already on screen would
    // otherwise never show the row.
    if (parent && parent->isVisible())
        groupBox->show();
}

void Analyz::EnablePanel(bool on)
{
    typeEdit->setEnabled(on);
    lenEdit->setEnabled(on);
    sendButton->setEnabled(on);
    for (int i = 0; i < count; ++i)
        dataEdits[i]->setEnabled(on);
}

void Analyz::ClearPanel()
{
    typeEdit->clear();
    lenEdit->clear();
    for (int i = 0; i < DataFields; ++i) {
        dataEdits[i]->setEnabled(false);
        dataEdits[i]->clear();
    }
    count = 0;
}

unsigned char Analyz::HexToByte(const QString& text)
{
    const auto digit = [](char c) {
        return c < 'A' ? ((c - '0') & 0x0F) : ((c - 'A' + 10) & 0x0F);
    };
    const QByteArray bytes = text.toLatin1();
    int value = 0;
    if (bytes.size() >= 1)
        value = digit(bytes[0]);
    if (bytes.size() >= 2)
        value = (value << 4) | digit(bytes[1]);
    return static_cast<unsigned char>(value);
}

void Analyz::len_slots(const QString& text)
{
    count = static_cast<signed char>(HexToByte(text));
    if (count > DataFields || count < 0)
        count = DataFields;
    for (int i = 0; i < count; ++i)
        dataEdits[i]->setEnabled(true);
    for (int i = count; i < DataFields; ++i) {
        dataEdits[i]->setEnabled(false);
        dataEdits[i]->clear();
    }
}

void Analyz::send_slots()
{
    if (count <= 0)
        return;
    payload[0] = static_cast<char>(HexToByte(typeEdit->text()));
    payload[1] = static_cast<char>(count);
    for (int i = 0; i < count; ++i)
        payload[i + 2] = static_cast<char>(HexToByte(dataEdits[i]->text()));
    emit send_sig(payload);
}
