#ifndef DIALOGENTRY_H
#define DIALOGENTRY_H

// What main sets up before the dialog: its command line, and the identity
// the desktop knows the program by.

#include "portinfo.h"

#include <QCommandLineParser>
#include <QIcon>
#include <QStringList>

#include <optional>

// kavriUpdate's own options: --port NAME, --help, --version. The toolkit's
// own options (-platform, -style, ...) are the application object's to take.
class DialogCommandLine
{
public:
    DialogCommandLine();

    // Settles what needs no display before the application object, which
    // would need one: answers --help and --version on stdout, and refuses a
    // mistake (said on stderr) where no option can be the toolkit's. The exit
    // status when settled.
    std::optional<int> settleWithoutDisplay(int argc, char *argv[]);
    // Reads the arguments left once the toolkit took its own; false after
    // printing the problem to stderr.
    bool read(const QStringList &arguments);
    // The system's ports, with the port --port named among them.
    PortSource portSource(const PortSource &system = systemPorts) const;

private:
    QCommandLineParser parser;
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption port;
};

// The ports source lists, with name first and selected by the dialog as its
// first item: a port the system does not list (a pseudo-terminal, a link) is
// listed as if it did, and a listed one named by its path ("/dev/ttyUSB0") is
// that port. An empty name leaves the list as it is.
PortSource portsWith(const PortSource &source, const QString &name);

// Names the program as its desktop entry does: the application name is the
// window class the entry's StartupWMClass names, the desktop file name the
// entry's own, so that a dock ties the window to its menu entry.
void nameApplication();
// The application's icon, for every window: the picture the Windows
// executable carries.
QIcon applicationIcon();

#endif // DIALOGENTRY_H
