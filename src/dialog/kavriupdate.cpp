#include "kavriupdate.h"
#include "ui_kavriupdate.h"

#include "deviceidentity.h"

#include <QFileDialog>

kavriUpdate::kavriUpdate(QWidget *parent, const PortSource &portSource)
    : QDialog(parent)
    , ui(new Ui::kavriUpdate)
    , portSource(portSource)
    , chooseFile([](QWidget *parent, const QString &caption, const QString &directory,
                    const QString &filter) {
        return QFileDialog::getOpenFileName(parent, caption, directory, filter);
    })
{
    ui->setupUi(this);
    ui->pushButtonDownload->hide();

    listPorts();
    refreshStatusLine();
    connect(ui->comboBoxPort, &PortComboBox::aboutToShowPopup, this, &kavriUpdate::updatePortList);

    connect(&transfer, &SerialTransfer::identified, this, &kavriUpdate::showIdentity);
    connect(&transfer, &SerialTransfer::progressChanged, ui->progressBarDownload, &QProgressBar::setValue);
    connect(&transfer, &SerialTransfer::downloadEnded, this,
            [this](TransferResult result) { showStatus(resultText(result, transfer.figures().blocksSent())); });
    connect(&transfer, &SerialTransfer::lost, this, &kavriUpdate::showStatus);
}

kavriUpdate::~kavriUpdate()
{
    transfer.close(); // the driver's latency goes back as it was
    delete ui;
}

void kavriUpdate::setFileChooser(FileChooser chooser)
{
    chooseFile = std::move(chooser);
}

void kavriUpdate::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() != QEvent::LanguageChange)
        return;
    // Re-applying the form's texts would put its placeholder in the status line.
    const QString status = ui->labelStatusBar->text();
    ui->retranslateUi(this);
    ui->labelStatusBar->setText(status);
}

void kavriUpdate::on_comboBoxPort_currentIndexChanged(int)
{
    refreshStatusLine();
}

void kavriUpdate::on_pushButtonDownload_clicked()
{
    if (transfer.state() == TransferProtocol::State::Transferring)
        return; // the download under way keeps its image
    // The file is opened afresh, so a firmware rebuilt under the same name is the one sent.
    const QString problem = firmware.open(fileName);
    if (!problem.isEmpty()) {
        transfer.withdrawDownload();
        showStatus(problem);
        return;
    }
    // The file is read whole when the device starts: it gets the file as it was then.
    transfer.requestDownload([this](QByteArray &image) { return firmware.read(image); });
    // A waiting device is shown again in place of a problem an earlier press left.
    if (transfer.state() == TransferProtocol::State::StartPending)
        showIdentity(identity);
}

void kavriUpdate::on_pushButtonCancel_clicked()
{
    done(1);
}

void kavriUpdate::on_pushButtonOK_clicked()
{
    const QString chosen = chooseFile(this, tr("Open firmware"), QStringLiteral("*.kvf"),
                                      tr("Kavri Files (*.kvf)"));
    if (!chosen.isEmpty()) {
        fileName = chosen;
        ui->pushButtonDownload->show();
        refreshStatusLine();
    }
    setUpLink();
}

// The driver handles the port's arrivals as they come; this hands it
// whatever the port holds now.
void kavriUpdate::receive()
{
    transfer.receive();
}

// Lists the ports afresh, keeping the selected one where it is still there;
// true when the selection changed.
bool kavriUpdate::listPorts()
{
    const QString selected = ui->comboBoxPort->currentText();
    ports = portSource();
    QSignalBlocker quiet(ui->comboBoxPort);
    ui->comboBoxPort->clear();
    for (const PortInfo &info : std::as_const(ports)) {
        ui->comboBoxPort->addItem(QString::fromLatin1(info.name.toLocal8Bit()));
        ui->comboBoxPort->setItemData(ui->comboBoxPort->count() - 1, portDescription(info),
                                      Qt::ToolTipRole);
    }
    ui->comboBoxPort->setCurrentIndex(std::max(0, ui->comboBoxPort->findText(selected)));
    return ui->comboBoxPort->currentText() != selected;
}

void kavriUpdate::updatePortList()
{
    if (listPorts())
        refreshStatusLine(); // the selected port went away, or the first one came
}

void kavriUpdate::refreshStatusLine()
{
    const QString file = fileName.isEmpty() ? QStringLiteral("file not available") : fileName;
    showStatus(ui->comboBoxPort->currentText() + QStringLiteral("  ") + file);
}

void kavriUpdate::showStatus(const QString &text)
{
    ui->labelStatusBar->setText(text);
}

void kavriUpdate::setUpLink()
{
    const QString problem = transfer.open(ui->comboBoxPort->currentText());
    if (!problem.isEmpty())
        showStatus(problem);
}

void kavriUpdate::showIdentity(const QByteArray &record)
{
    identity = record;
    showStatus(DeviceIdentity(identity).text());
}
