#include "kavriupdate.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    kavriUpdate dialog;
    dialog.show();
    return application.exec();
}
