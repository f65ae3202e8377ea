#pragma once
// The main window's form: fixed pixel positions, no layouts, written by hand
// in the style of a generated form so that object names and slot names stay
// bound through connectSlotsByName.

#include <QtCore/QCoreApplication>
#include <QtCore/QVariant>
#include <QtGui/QFont>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QWidget>

QT_BEGIN_NAMESPACE

class KorvaneClass
{
public:
    QWidget *centralWidget;
    QSpinBox *portBox;
    QPushButton *open;
    QPushButton *cleartx;
    QGroupBox *groupBox_data;
    QLabel *type_label;
    QLabel *len_label;
    QLabel *data_label;
    QLabel *ack_label;
    QPushButton *clearrx;
    QLabel *Ver_label;
    QPushButton *mode;

    void setupUi(QMainWindow *KorvaneClassWindow)
    {
        if (KorvaneClassWindow->objectName().isEmpty())
            KorvaneClassWindow->setObjectName(QString::fromUtf8("KorvaneClass"));
        KorvaneClassWindow->resize(731, 419);
        QFont font;
        font.setPointSize(16);
        KorvaneClassWindow->setFont(font);
        centralWidget = new QWidget(KorvaneClassWindow);
        centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
        portBox = new QSpinBox(centralWidget);
        portBox->setObjectName(QString::fromUtf8("portBox"));
        portBox->setGeometry(QRect(80, 10, 61, 31));
        portBox->setMinimum(1);
        portBox->setMaximum(6);
        portBox->setSingleStep(1);
        portBox->setValue(1);
        open = new QPushButton(centralWidget);
        open->setObjectName(QString::fromUtf8("open"));
        open->setGeometry(QRect(150, 10, 75, 31));
        cleartx = new QPushButton(centralWidget);
        cleartx->setObjectName(QString::fromUtf8("cleartx"));
        cleartx->setGeometry(QRect(240, 10, 91, 31));
        groupBox_data = new QGroupBox(centralWidget);
        groupBox_data->setObjectName(QString::fromUtf8("groupBox_data"));
        groupBox_data->setGeometry(QRect(10, 50, 711, 211));
        groupBox_data->setInputMethodHints(Qt::ImhDigitsOnly);
        type_label = new QLabel(groupBox_data);
        type_label->setObjectName(QString::fromUtf8("type_label"));
        type_label->setGeometry(QRect(20, 10, 31, 16));
        QFont font1;
        font1.setPointSize(12);
        type_label->setFont(font1);
        len_label = new QLabel(groupBox_data);
        len_label->setObjectName(QString::fromUtf8("len_label"));
        len_label->setGeometry(QRect(70, 10, 31, 16));
        len_label->setFont(font1);
        data_label = new QLabel(groupBox_data);
        data_label->setObjectName(QString::fromUtf8("data_label"));
        data_label->setGeometry(QRect(120, 10, 31, 16));
        data_label->setFont(font1);
        ack_label = new QLabel(groupBox_data);
        ack_label->setObjectName(QString::fromUtf8("ack_label"));
        ack_label->setGeometry(QRect(620, 10, 81, 20));
        ack_label->setFont(font1);
        clearrx = new QPushButton(centralWidget);
        clearrx->setObjectName(QString::fromUtf8("clearrx"));
        clearrx->setGeometry(QRect(350, 10, 91, 31));
        Ver_label = new QLabel(centralWidget);
        Ver_label->setObjectName(QString::fromUtf8("Ver_label"));
        Ver_label->setGeometry(QRect(480, 20, 161, 16));
        Ver_label->setFont(font1);
        mode = new QPushButton(centralWidget);
        mode->setObjectName(QString::fromUtf8("mode"));
        mode->setGeometry(QRect(15, 10, 56, 31));
        KorvaneClassWindow->setCentralWidget(centralWidget);

        retranslateUi(KorvaneClassWindow);

        QMetaObject::connectSlotsByName(KorvaneClassWindow);
    } // setupUi

    void retranslateUi(QMainWindow *KorvaneClassWindow)
    {
        KorvaneClassWindow->setWindowTitle(QCoreApplication::translate("KorvaneClass", "Korvane", nullptr));
        open->setText(QCoreApplication::translate("KorvaneClass", "\346\211\223\345\274\200", nullptr)); // 打开
        cleartx->setText(QCoreApplication::translate("KorvaneClass", "\346\270\205\347\251\272\345\217\221\351\200\201", nullptr)); // 清空发送
        groupBox_data->setTitle(QString());
        type_label->setText(QCoreApplication::translate("KorvaneClass", "type", nullptr));
        len_label->setText(QCoreApplication::translate("KorvaneClass", "len", nullptr));
        data_label->setText(QCoreApplication::translate("KorvaneClass", "data", nullptr));
        ack_label->setText(QCoreApplication::translate("KorvaneClass", "ACK:XX", nullptr));
        clearrx->setText(QCoreApplication::translate("KorvaneClass", "\346\270\205\347\251\272\346\216\245\346\224\266", nullptr)); // 清空接收
        Ver_label->setText(QCoreApplication::translate("KorvaneClass", "V1.00.00  2016-04-03", nullptr));
        mode->setText(QCoreApplication::translate("KorvaneClass", "\344\270\262\345\217\243", nullptr)); // 串口
    } // retranslateUi
};

QT_END_NAMESPACE
