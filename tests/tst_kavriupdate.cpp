#include "dialogentry.h"
#include "kavriupdate.h"
#include "seriallink.h"
#include "statuslabel.h"
#include "ui_kavriupdate.h"

#include <QComboBox>
#include <QLabel>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

PortSource listing(const QStringList &names)
{
    return [names] {
        QList<PortInfo> ports;
        for (const QString &name : names)
            ports.append({name, {}, {}, {}, 0, 0});
        return ports;
    };
}

QString statusOf(const QWidget &dialog)
{
    return dialog.findChild<QLabel *>("labelStatusBar")->text();
}

QPushButton *button(const QWidget &dialog, const char *name)
{
    return dialog.findChild<QPushButton *>(name);
}

kavriUpdate::FileChooser choosing(const QString &path)
{
    return [path](QWidget *, const QString &, const QString &, const QString &) { return path; };
}

} // namespace

class TestKavriUpdate : public QObject
{
    Q_OBJECT

private slots:
    void formAsBuilt_data();
    void formAsBuilt();
    void dialogFrame();
    void slotTable();
    void afterConstruction_data();
    void afterConstruction();
    void portChoiceRefreshesStatusLine();
    void endClosesWithResultOne();
    void languageChangeKeepsStatus();
    void statusLabelElides_data();
    void statusLabelElides();
    void portListFollowsHotPlug_data();
    void portListFollowsHotPlug();
    void portTooltips();
    void portFromCommandLine_data();
    void portFromCommandLine();
    void desktopEntryNamesTheWindow();
    void fileChoice();
    void cancelledChoiceKeepsPrevious();
    void portThatCannotOpen_data();
    void portThatCannotOpen();
    void badFirmware_data();
    void badFirmware();
};

void TestKavriUpdate::formAsBuilt_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QString>("text");

    QTest::newRow("progress bar") << "progressBarDownload" << "QProgressBar" << QRect(30, 70, 251, 23) << "";
    QTest::newRow("status") << "labelStatusBar" << "QLabel" << QRect(20, 150, 201, 16) << "TextLabel";
    QTest::newRow("File") << "pushButtonOK" << "QPushButton" << QRect(20, 110, 81, 31) << "File";
    QTest::newRow("End") << "pushButtonCancel" << "QPushButton" << QRect(200, 110, 81, 31) << "End";
    QTest::newRow("Download") << "pushButtonDownload" << "QPushButton" << QRect(110, 110, 81, 31) << "Download";
    QTest::newRow("port") << "comboBoxPort" << "QComboBox" << QRect(150, 20, 101, 22) << "";
    QTest::newRow("label") << "label" << "QLabel" << QRect(30, 30, 54, 12) << "Kavri @";
}

void TestKavriUpdate::formAsBuilt()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QRect, rect);
    QFETCH(QString, text);

    // The form alone, before the dialog hides Download and sets its status.
    QDialog dialog;
    Ui::kavriUpdate ui;
    ui.setupUi(&dialog);

    const QList<QWidget *> widgets = dialog.findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    QStringList order;
    for (const QWidget *widget : widgets)
        order.append(widget->objectName());
    QCOMPARE(order, QStringList({"progressBarDownload", "labelStatusBar", "pushButtonOK",
                                 "pushButtonCancel", "pushButtonDownload", "comboBoxPort", "label"}));

    QWidget *widget = dialog.findChild<QWidget *>(name);
    QVERIFY(widget);
    QVERIFY(widget->inherits(className.toLatin1()));
    QCOMPARE(widget->geometry(), rect);
    QVERIFY(!widget->isHidden());
    const QVariant shown = widget->property("text");
    if (auto bar = qobject_cast<QProgressBar *>(widget)) {
        QCOMPARE(bar->value(), 100);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
    } else if (auto combo = qobject_cast<QComboBox *>(widget)) {
        QCOMPARE(combo->count(), 0);
    } else {
        QCOMPARE(shown.toString(), text);
    }
}

void TestKavriUpdate::dialogFrame()
{
    kavriUpdate dialog(nullptr, listing({}));
    QCOMPARE(dialog.objectName(), QStringLiteral("kavriUpdate"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("kavriUpdate"));
    QCOMPARE(dialog.size(), QSize(296, 176));
    QVERIFY(!dialog.layout());
    QCOMPARE(dialog.minimumSize(), QSize(0, 0));
    QCOMPARE(dialog.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    dialog.resize(500, 300);
    QCOMPARE(dialog.findChild<QWidget *>("pushButtonCancel")->geometry(), QRect(200, 110, 81, 31));
}

void TestKavriUpdate::slotTable()
{
    const QMetaObject &meta = kavriUpdate::staticMetaObject;
    QCOMPARE(meta.className(), "kavriUpdate");
    QCOMPARE(meta.superClass(), &QDialog::staticMetaObject);
    QStringList names;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        QCOMPARE(meta.method(i).access(), QMetaMethod::Private);
        QCOMPARE(meta.method(i).methodType(), QMetaMethod::Slot);
        names.append(QString::fromLatin1(meta.method(i).methodSignature()));
    }
    QCOMPARE(names, QStringList({"on_comboBoxPort_currentIndexChanged(int)",
                                 "on_pushButtonDownload_clicked()",
                                 "on_pushButtonCancel_clicked()", "on_pushButtonOK_clicked()",
                                 "receive()"}));
}

void TestKavriUpdate::afterConstruction_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QString>("status");

    QTest::newRow("no ports") << QStringList() << "  file not available";
    QTest::newRow("one port") << QStringList{"COM3"} << "COM3  file not available";
    QTest::newRow("three ports") << QStringList{"ttyUSB1", "ttyS0", "ttyACM0"}
                                 << "ttyUSB1  file not available";
}

void TestKavriUpdate::afterConstruction()
{
    QFETCH(QStringList, ports);
    QFETCH(QString, status);

    kavriUpdate dialog(nullptr, listing(ports));
    const QComboBox *combo = dialog.findChild<QComboBox *>("comboBoxPort");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items.append(combo->itemText(i));
    QCOMPARE(items, ports);
    QCOMPARE(combo->currentIndex(), ports.isEmpty() ? -1 : 0);
    QVERIFY(button(dialog, "pushButtonDownload")->isHidden());
    QVERIFY(!button(dialog, "pushButtonOK")->isHidden());
    QCOMPARE(statusOf(dialog), status);
}

void TestKavriUpdate::portChoiceRefreshesStatusLine()
{
    kavriUpdate dialog(nullptr, listing({"COM3", "COM12"}));
    dialog.findChild<QComboBox *>("comboBoxPort")->setCurrentIndex(1);
    QCOMPARE(statusOf(dialog), QStringLiteral("COM12  file not available"));
}

void TestKavriUpdate::endClosesWithResultOne()
{
    kavriUpdate dialog(nullptr, listing({"COM3"}));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(button(dialog, "pushButtonCancel"), Qt::LeftButton);
    QCOMPARE(dialog.result(), 1);
    QVERIFY(!dialog.isVisible());
}

void TestKavriUpdate::languageChangeKeepsStatus()
{
    kavriUpdate dialog(nullptr, listing({"COM3", "COM4"}));
    dialog.findChild<QComboBox *>("comboBoxPort")->setCurrentIndex(1);
    dialog.setWindowTitle("changed");

    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(&dialog, &change);

    QCOMPARE(dialog.windowTitle(), QStringLiteral("kavriUpdate")); // the texts were re-applied
    QCOMPARE(statusOf(dialog), QStringLiteral("COM4  file not available"));
}

void TestKavriUpdate::statusLabelElides_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("visible");
    QTest::addColumn<bool>("elided");

    QTest::newRow("short") << "COM3  file not available" << "available" << false;
    QTest::newRow("identity") << "UID: 0A 1B 2C 3D 4E 5F 60 71 V2.3" << "V2.3" << true;
    QTest::newRow("long path") << "ttyUSB0  /home/bench/firmware/release-candidates/board-rev-c/app.kvf"
                               << "app.kvf" << true;
    // The port and what befell it stay in view.
    QTest::newRow("lost port") << SerialLink::lostText("ttyUSB0") << "Port ttyUSB0 lost" << false;
}

void TestKavriUpdate::statusLabelElides()
{
    QFETCH(QString, text);
    QFETCH(QString, visible);
    QFETCH(bool, elided);

    // Make the label as small as the form has it, whatever the font.
    kavriUpdate dialog(nullptr, listing({}));
    auto label = dialog.findChild<StatusLabel *>("labelStatusBar");
    if (elided && label->fontMetrics().horizontalAdvance(text) <= label->contentsRect().width())
        QSKIP("this font fits the text in the label");
    label->setText(text);

    QCOMPARE(label->text(), text);
    QCOMPARE(label->toolTip(), text);
    const QString shown = label->displayedText();
    QCOMPARE(shown != text, elided);
    QVERIFY2(shown.contains(visible), qPrintable(shown));
    QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->contentsRect().width());
    // What it draws is the shortened text, as a plain label would draw it.
    QLabel plain(shown);
    plain.setGeometry(label->geometry());
    plain.setFont(label->font());
    plain.setAlignment(label->alignment());
    plain.setFrameStyle(label->frameStyle());
    const auto drawing = [](QWidget *widget) { return widget->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    QCOMPARE(drawing(label), drawing(&plain));
}

void TestKavriUpdate::portListFollowsHotPlug_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("expectedSelection");

    QTest::newRow("plugged in after start")
        << QStringList{"ttyS0"} << "ttyS0" << QStringList{"ttyS0", "ttyUSB0"} << "ttyS0";
    QTest::newRow("first port plugged in")
        << QStringList() << "" << QStringList{"ttyUSB0"} << "ttyUSB0";
    QTest::newRow("selection kept when the order changes")
        << QStringList{"ttyS0", "ttyUSB0"} << "ttyUSB0" << QStringList{"ttyACM0", "ttyUSB0", "ttyS0"}
        << "ttyUSB0";
    QTest::newRow("selected port unplugged")
        << QStringList{"ttyS0", "ttyUSB0"} << "ttyUSB0" << QStringList{"ttyS0"} << "ttyS0";
    QTest::newRow("every port unplugged")
        << QStringList{"ttyS0", "ttyUSB0"} << "ttyS0" << QStringList() << "";
}

void TestKavriUpdate::portListFollowsHotPlug()
{
    QFETCH(QStringList, before);
    QFETCH(QString, selected);
    QFETCH(QStringList, after);
    QFETCH(QString, expectedSelection);

    QStringList present = before;
    kavriUpdate dialog(nullptr, [&present] { return listing(present)(); });
    auto combo = dialog.findChild<QComboBox *>("comboBoxPort");
    combo->setCurrentIndex(combo->findText(selected));
    // A status text of the protocol stays unless the selection changes.
    auto status = dialog.findChild<StatusLabel *>("labelStatusBar");
    status->setText("UID: 0A 1B 2C 3D 4E 5F 60 71 V2.3");

    present = after;
    combo->showPopup();
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items.append(combo->itemText(i));
    QCOMPARE(items, after);
    QCOMPARE(combo->currentText(), expectedSelection);
    const QString expectedStatus = expectedSelection == selected
        ? QStringLiteral("UID: 0A 1B 2C 3D 4E 5F 60 71 V2.3")
        : expectedSelection + "  file not available";
    QCOMPARE(status->text(), expectedStatus);
    combo->hidePopup();
}

void TestKavriUpdate::portTooltips()
{
    const PortInfo adapter{"ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI", 0x0403, 0x6001};
    const PortInfo builtIn{"ttyS0", {}, {}, {}, 0, 0};
    kavriUpdate dialog(nullptr, [&] { return QList<PortInfo>{adapter, builtIn}; });
    auto combo = dialog.findChild<QComboBox *>("comboBoxPort");

    const QString details = combo->itemData(0, Qt::ToolTipRole).toString();
    for (const char *part : {"FT232R USB UART", "FTDI", "0403:6001", "A50285BI"})
        QVERIFY2(details.contains(part), qPrintable(details));
    QCOMPARE(combo->itemText(0), QStringLiteral("ttyUSB0"));
    QVERIFY(!combo->itemData(1, Qt::ToolTipRole).toString().contains("USB"));
}

void TestKavriUpdate::portFromCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QStringList>("expected"); // the items, the first selected; empty: refused

    const QStringList system{"ttyS0", "ttyUSB0"};
    QTest::newRow("no --port") << QStringList() << system << system;
    QTest::newRow("a path the system does not list")
        << QStringList{"--port", "/tmp/kavri-devsim-line"} << system
        << QStringList{"/tmp/kavri-devsim-line", "ttyS0", "ttyUSB0"};
    QTest::newRow("a listed name") << QStringList{"--port", "ttyUSB0"} << system << QStringList{"ttyUSB0", "ttyS0"};
    QTest::newRow("a listed port by its path")
        << QStringList{"--port", portPath("ttyUSB0")} << system << QStringList{"ttyUSB0", "ttyS0"};
    QTest::newRow("--port without a name") << QStringList{"--port", ""} << system << QStringList();
    QTest::newRow("a stray word") << QStringList{"ttyUSB0"} << system << QStringList();
    QTest::newRow("an unknown option") << QStringList{"--baud", "9600"} << system << QStringList();
}

// --port lists the port as if the system did and selects it, and a fresh
// listing (the list opened again) keeps it there.
void TestKavriUpdate::portFromCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, listed);
    QFETCH(QStringList, expected);

    DialogCommandLine commandLine;
    QCOMPARE(commandLine.read(QStringList{"kavriUpdate"} + arguments), !expected.isEmpty());
    if (expected.isEmpty())
        return;
    QStringList present = listed;
    kavriUpdate dialog(nullptr, commandLine.portSource([&present] { return listing(present)(); }));
    auto combo = dialog.findChild<QComboBox *>("comboBoxPort");
    for (const bool refreshed : {false, true}) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items.append(combo->itemText(i));
        QCOMPARE(items, expected);
        QCOMPARE(combo->currentIndex(), 0);
        QCOMPARE(statusOf(dialog), expected.first() + "  file not available");
        if (!refreshed) {
            present.removeFirst(); // the system's list changes under it
            expected.removeOne(listed.first());
            combo->showPopup();
            combo->hidePopup();
        }
    }
}

// A dock ties the window to its menu entry by the desktop file name and the
// window class (the application name), and shows the application's icon.
void TestKavriUpdate::desktopEntryNamesTheWindow()
{
    nameApplication();
    const QSettings entry(QStringLiteral(KAVRI_DESKTOP_ENTRY), QSettings::IniFormat);
    QCOMPARE(QGuiApplication::desktopFileName() + ".desktop", QFileInfo(KAVRI_DESKTOP_ENTRY).fileName());
    QCOMPARE(entry.value("Desktop Entry/StartupWMClass").toString(), QCoreApplication::applicationName());
    QCOMPARE(applicationIcon().availableSizes(),
             (QList<QSize>{{16, 16}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {96, 96}, {128, 128}}));
}

void TestKavriUpdate::fileChoice()
{
    kavriUpdate dialog(nullptr, listing({"does-not-exist-0"}));
    QStringList arguments;
    dialog.setFileChooser([&arguments](QWidget *parent, const QString &caption,
                                       const QString &directory, const QString &filter) {
        arguments = {parent ? parent->objectName() : QString(), caption, directory, filter};
        return QStringLiteral("/tmp/app.kvf");
    });
    button(dialog, "pushButtonOK")->click();
    QCOMPARE(arguments, QStringList({"kavriUpdate", "Open firmware", "*.kvf", "Kavri Files (*.kvf)"}));
    QVERIFY(!button(dialog, "pushButtonDownload")->isHidden());
}

void TestKavriUpdate::cancelledChoiceKeepsPrevious()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("app.kvf");
    QFile firmware(path);
    QVERIFY(firmware.open(QIODevice::WriteOnly));
    firmware.write("firmware");
    firmware.close();

    // No port listed: File sets no link up, which keeps the test to the file choice.
    kavriUpdate dialog(nullptr, listing({}));
    auto status = dialog.findChild<QLabel *>("labelStatusBar");
    dialog.setFileChooser(choosing(path));
    button(dialog, "pushButtonOK")->click();
    dialog.setFileChooser(choosing(QString()));
    button(dialog, "pushButtonOK")->click();
    QVERIFY(!button(dialog, "pushButtonDownload")->isHidden());

    dialog.findChild<QComboBox *>("comboBoxPort")->currentIndexChanged(0);
    QCOMPARE(status->text(), "  " + path);
    button(dialog, "pushButtonDownload")->click(); // still the chosen file, not "File is Vacant"
    QCOMPARE(status->text(), "  " + path);
}

void TestKavriUpdate::portThatCannotOpen_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no port listed") << "" << "No serial port to open";
#ifdef Q_OS_WIN
    QTest::newRow("missing") << "COM250" << "Cannot open \\\\.\\COM250: ";
#else
    QTest::newRow("missing") << "ttyKAVRI-missing" << "Cannot open /dev/ttyKAVRI-missing: ";
    QTest::newRow("not a tty") << "/dev/null" << "Cannot ";
#endif
}

void TestKavriUpdate::portThatCannotOpen()
{
    QFETCH(QString, port);
    QFETCH(QString, expected);
    kavriUpdate dialog(nullptr, listing(port.isEmpty() ? QStringList() : QStringList{port}));
    dialog.setFileChooser(choosing("/tmp/app.kvf"));
    button(dialog, "pushButtonOK")->click();
    const QString status = statusOf(dialog);
    QVERIFY2(status.startsWith(expected) && (port.isEmpty() || status.size() > expected.size()),
             qPrintable(status));
}

void TestKavriUpdate::badFirmware_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected");

    QTest::newRow("missing") << "missing" << "File is Vacant";
    QTest::newRow("empty") << "empty" << "File is Vacant";
    QTest::newRow("directory") << "directory" << "Cannot read ";
    QTest::newRow("unreadable") << "unreadable" << "Cannot read ";
    QTest::newRow("4 GiB") << "huge" << "File too large: 4294967296 bytes";
}

void TestKavriUpdate::badFirmware()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QString path = dir.filePath("app.kvf");
    QFile file(path);
    if (kind == "empty" || kind == "huge" || kind == "unreadable") {
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (kind == "huge")
            QVERIFY(file.resize(qint64(1) << 32)); // sparse: no disk used
        else if (kind == "unreadable")
            file.write("firmware");
        file.close();
    }
    if (kind == "directory")
        QVERIFY(QDir(dir.path()).mkdir("app.kvf"));
    if (kind == "unreadable") {
#ifdef Q_OS_WIN
        QSKIP("a file that its owner cannot read is a Unix permission");
#else
        if (geteuid() != 0) {
            QVERIFY(file.setPermissions(QFile::WriteOwner));
        } else {
            // Root reads any file; a write-only kernel attribute refuses it too.
            path = "/sys/bus/pci/rescan";
            if (!QFile::exists(path))
                QSKIP("running as root and no file here refuses root");
        }
#endif
    }

    kavriUpdate dialog(nullptr, listing({}));
    dialog.setFileChooser(choosing(path));
    button(dialog, "pushButtonOK")->click();
    button(dialog, "pushButtonDownload")->click();
    const QString status = statusOf(dialog);
    QVERIFY2(status.startsWith(expected), qPrintable(status));
}

QTEST_MAIN(TestKavriUpdate)
#include "tst_kavriupdate.moc"
