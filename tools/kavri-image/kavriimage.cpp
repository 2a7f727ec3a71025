// kavri-image: puts an application into the image envelope a device can
// check (wrap), and says what an image's envelope holds (show).

#include "commandline.h"
#include "exitstatus.h"
#include "imageenvelope.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include <limits>
#include <optional>

namespace {

constexpr int imageFailsCheck = 1; // show: no envelope, or an application that does not match it

// The largest application whose image kavri-flash still sends: under 4 GiB in all.
constexpr qint64 maxApplication = qint64(std::numeric_limits<quint32>::max()) - ImageEnvelope::headerSize;

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Puts an application into the image envelope that a kavriUpdate device checks\n"
        "before it starts the application, or shows what an image's envelope holds.\n"
        "\n"
        "  wrap APPLICATION -o IMAGE   writes IMAGE: a 1024-byte header (length,\n"
        "                              CRC-32, version), then APPLICATION\n"
        "  show IMAGE                  prints the header and whether the application\n"
        "                              matches it; exit 1 when it does not, or IMAGE\n"
        "                              has no envelope"));
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("wrap or show"));
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("the application (wrap) or the image (show)"));
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")},
                      QStringLiteral("wrap: the image file to write."), QStringLiteral("image")});
    parser.addOption({QStringLiteral("app-version"),
                      QStringLiteral("wrap: the application's version, MAJOR.MINOR, each 0 to 65535 (default 0.0)."),
                      QStringLiteral("major.minor"), QStringLiteral("0.0")});
}

std::optional<QByteArray> readWhole(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxApplication + ImageEnvelope::headerSize) {
        CommandLine::printError(QStringLiteral("cannot read %1 (or it is 4 GiB or more)").arg(path));
        return std::nullopt;
    }
    return file.readAll();
}

std::optional<std::pair<quint16, quint16>> versionValue(const QString &text)
{
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("^(\\d{1,5})\\.(\\d{1,5})$")).match(text);
    const uint major = match.captured(1).toUInt(), minor = match.captured(2).toUInt();
    if (!match.hasMatch() || major > 0xFFFF || minor > 0xFFFF) {
        CommandLine::printError(QStringLiteral("--app-version takes MAJOR.MINOR, each 0 to 65535, not \"%1\"").arg(text));
        return std::nullopt;
    }
    return std::pair{quint16(major), quint16(minor)};
}

int wrap(const QString &applicationPath, const QCommandLineParser &parser)
{
    const QString imagePath = parser.value(QStringLiteral("output"));
    const std::optional<std::pair<quint16, quint16>> version = versionValue(parser.value(QStringLiteral("app-version")));
    if (imagePath.isEmpty() || !version) {
        if (imagePath.isEmpty())
            CommandLine::printError(QStringLiteral("wrap needs -o IMAGE (see --help)"));
        return ExitBadInput;
    }
    const std::optional<QByteArray> application = readWhole(applicationPath);
    if (!application)
        return ExitBadInput;
    if (application->isEmpty() || application->size() > maxApplication) {
        CommandLine::printError(QStringLiteral("%1 is empty, or too large for an image under 4 GiB").arg(applicationPath));
        return ExitBadInput;
    }
    QSaveFile image(imagePath);
    if (!image.open(QIODevice::WriteOnly)
        || image.write(ImageEnvelope::wrap(*application, version->first, version->second)) < 0 || !image.commit()) {
        CommandLine::printError(QStringLiteral("cannot write %1: %2").arg(imagePath, image.errorString()));
        return ExitWriteFailed;
    }
    return ExitOk;
}

QString checkText(ImageEnvelope::Check check, qsizetype applicationBytes)
{
    switch (check) {
    case ImageEnvelope::Check::Ok:
        return QStringLiteral("ok");
    case ImageEnvelope::Check::WrongLength:
        return QStringLiteral("wrong length: the file holds %1 application bytes").arg(applicationBytes);
    case ImageEnvelope::Check::WrongCrc:
        break;
    }
    return QStringLiteral("wrong CRC-32: the application does not match it");
}

int show(const QString &imagePath)
{
    const std::optional<QByteArray> image = readWhole(imagePath);
    if (!image)
        return ExitBadInput;
    const std::optional<ImageEnvelope::Header> header = ImageEnvelope::read(*image);
    if (!header) {
        CommandLine::printLine(QStringLiteral("%1: no envelope (%2 bytes, flashed as they are)").arg(imagePath).arg(image->size()));
        return imageFailsCheck;
    }
    const ImageEnvelope::Check check = ImageEnvelope::check(*image, *header);
    CommandLine::printLine(QStringLiteral("application: %1 bytes").arg(header->length));
    CommandLine::printLine(QStringLiteral("version: %1.%2").arg(header->versionMajor).arg(header->versionMinor));
    CommandLine::printLine(QStringLiteral("crc32: %1").arg(header->crc32, 8, 16, QLatin1Char('0')));
    CommandLine::printLine(QStringLiteral("check: ") + checkText(check, image->size() - ImageEnvelope::headerSize));
    return check == ImageEnvelope::Check::Ok ? ExitOk : imageFailsCheck;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavri-image"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVRI_VERSION));

    QCommandLineParser parser;
    addOptions(parser);
    if (!CommandLine::parse(parser, application.arguments()))
        return ExitBadInput;
    const QStringList arguments = parser.positionalArguments();
    const QString command = arguments.value(0);
    if (arguments.size() == 2 && command == QStringLiteral("wrap"))
        return wrap(arguments[1], parser);
    if (arguments.size() == 2 && command == QStringLiteral("show"))
        return show(arguments[1]);
    CommandLine::printError(QStringLiteral("expected \"wrap APPLICATION -o IMAGE\" or \"show IMAGE\" (see --help)"));
    return ExitBadInput;
}
