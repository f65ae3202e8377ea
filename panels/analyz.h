#pragma once
// One send panel: a row of hex fields (type, length, up to 13 data bytes) and
// a "send" button. The panel is never shown as a window of its own; its row
// is moved into the owner's group box with SetPanel, and it keeps owning and
// frees that row, so the owner deletes its panels before the host widget.

#include <QMainWindow>
#include <QString>

class QGroupBox;
class QLineEdit;
class QPushButton;
class QRegularExpressionValidator;

class Analyz : public QMainWindow
{
    Q_OBJECT

public:
    Analyz();
    ~Analyz() override;

    Analyz(const Analyz&) = delete;
    Analyz& operator=(const Analyz&) = delete;

    // Moves the panel's row into parent at (x, y).
    void SetPanel(QWidget* parent, int x, int y);
    // Type, length, button and the data fields the length asks for.
    void EnablePanel(bool on);
    // Empties every field and disables all data fields; enabled states of
    // type, length and button are kept.
    void ClearPanel();

signals:
    // payload: type, len (1..13), then len data bytes. Lent until the next
    // send or the panel's destruction.
    void send_sig(const char* buff);

public slots:
    void len_slots(const QString& text);
    void send_slots();

private:
    static constexpr int DataFields = 13;
    static constexpr int PayloadSize = 32;

    static unsigned char HexToByte(const QString& text);

    char* payload;
    QGroupBox* groupBox;
    QLineEdit* typeEdit;
    QLineEdit* lenEdit;
    QLineEdit** dataEdits;
    QPushButton* sendButton;
    QRegularExpressionValidator* hexValidator;
    QRegularExpressionValidator* lenValidator;
    int count;
};
