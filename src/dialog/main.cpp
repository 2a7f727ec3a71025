#include "dialogentry.h"
#include "kavriupdate.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    nameApplication();
    DialogCommandLine commandLine;
    if (const std::optional<int> exitCode = commandLine.settleWithoutDisplay(argc, argv))
        return *exitCode;
    QApplication application(argc, argv);
    if (!commandLine.read(QCoreApplication::arguments()))
        return 2;
    QApplication::setWindowIcon(applicationIcon());
    kavriUpdate dialog(nullptr, commandLine.portSource());
    dialog.show();
    return application.exec();
}
