#include "kavriupdate.h"
#include "ui_kavriupdate.h"

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

    const TransferProtocol &protocol = transfer.protocol();
    connect(&protocol, &TransferProtocol::identified, this, &kavriUpdate::showIdentity);
    connect(&protocol, &TransferProtocol::progressChanged,
            ui->progressBarDownload, &QProgressBar::setValue);
    connect(&protocol, &TransferProtocol::downloadEnded, this,
            [this](TransferProtocol::Outcome outcome) {
                showStatus(TransferProtocol::outcomeText(outcome));
            });
    connect(&transfer, &SerialTransfer::lost, this, &kavriUpdate::showStatus);
}

kavriUpdate::~kavriUpdate()
{
    // Closing the port on the way out must not reach a half-destroyed dialog.
    port.disconnect(this);
    transfer.close(); // and the driver's latency goes back as it was
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
    const QString problem = transfer.requestDownload(fileName);
    if (!problem.isEmpty()) {
        showStatus(problem);
        return;
    }
    // A waiting device is shown again in place of a problem an earlier press left.
    if (transfer.protocol().state() == TransferProtocol::State::StartPending)
        showStatus(TransferProtocol::identityText(identity));
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
    if (!problem.isEmpty()) {
        showStatus(problem);
        return;
    }
    connect(&port, &QSerialPort::readyRead, this, &kavriUpdate::receive, Qt::UniqueConnection);
}

void kavriUpdate::showIdentity(const QByteArray &record)
{
    identity = record;
    showStatus(TransferProtocol::identityText(identity));
}
