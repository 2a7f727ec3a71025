#ifndef KAVRIUPDATE_H
#define KAVRIUPDATE_H

#include "firmwarefile.h"
#include "portinfo.h"
#include "serialtransfer.h"

#include <QByteArray>
#include <QDialog>
#include <QSerialPort>

#include <functional>

namespace Ui {
class kavriUpdate;
}

// The updater dialog: it shows the transfer's state in its widgets and hands
// the user's actions to the transfer.
class kavriUpdate : public QDialog
{
    Q_OBJECT

public:
    // Shows the open-file dialog; tests put in a chooser that needs no user.
    using FileChooser = std::function<QString(QWidget *parent, const QString &caption,
                                              const QString &directory, const QString &filter)>;

    explicit kavriUpdate(QWidget *parent = nullptr, const PortSource &portSource = systemPorts);
    ~kavriUpdate() override;

    void setFileChooser(FileChooser chooser);

protected:
    void changeEvent(QEvent *event) override;

private slots:
    void on_comboBoxPort_currentIndexChanged(int index);
    void on_pushButtonDownload_clicked();
    void on_pushButtonCancel_clicked();
    void on_pushButtonOK_clicked();
    void receive();

private:
    bool listPorts();
    void updatePortList();
    void refreshStatusLine();
    void showStatus(const QString &text);
    void setUpLink();
    void showIdentity(const QByteArray &record);

    QString fileName;
    QList<PortInfo> ports;
    QByteArray identity;
    QSerialPort port;
    FirmwareFile firmware;
    Ui::kavriUpdate *ui;
    SerialTransfer transfer{port, this};
    PortSource portSource;
    FileChooser chooseFile;
};

#endif // KAVRIUPDATE_H
