#include "displaycheck.h"

#include <QList>
#include <QMutex>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {

// Used on Linux only (an X or Wayland display).
// Qt platforms that draw without an X or Wayland server.
[[maybe_unused]] bool needsNoDisplay(const QString &platforms)
{
    static const QStringList displayless
        = {QStringLiteral("offscreen"),   QStringLiteral("minimal"), QStringLiteral("minimalegl"),
           QStringLiteral("eglfs"),       QStringLiteral("linuxfb"), QStringLiteral("vnc"),
           QStringLiteral("vkkhrdisplay")};
    // Qt tries a list "a;b" in order, and a name may carry options: "vnc:size=800x600".
    for (const QString &platform : platforms.split(QLatin1Char(';'))) {
        if (displayless.contains(platform.section(QLatin1Char(':'), 0, 0)))
            return true;
    }
    return false;
}

[[maybe_unused]] QString platformArgument(const QStringList &arguments)
{
    for (int i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-platform")
            || arguments.at(i) == QLatin1String("--platform"))
            return arguments.at(i + 1);
    }
    return QString();
}

QString startInVirtualDisplay(const QString &program)
{
    return QStringLiteral("，无法打开窗口；可在虚拟显示中启动：xvfb-run -a %1（需安装软件包xvfb）")
        .arg(program);
}

// A message Qt gave while the display was being opened, with what its
// context points at kept alive.
struct HeldMessage
{
    QtMsgType type;
    QByteArray file, function, category;
    int line;
    QString text;
};

// The watch's state: Qt calls a message handler as a plain function, from
// any thread (the xcb platform starts one to read events).
QtMessageHandler passOnTo = nullptr;
QMutex heldLock;
bool holding = false;
QList<HeldMessage> held;
QString watchedProgram;

// What the xcb platform says when no display answers or the display refuses
// the connection (Qt 5.15, category qt.qpa.xcb); the display's name follows.
const QString notConnected = QStringLiteral("could not connect to display");

// Whether Qt said it could not connect to a display, and to which.
bool displayUnanswered(QString *display)
{
    for (const HeldMessage &m : qAsConst(held)) {
        if (m.category == "qt.qpa.xcb" && m.text.startsWith(notConnected)) {
            *display = m.text.mid(notConnected.size()).trimmed();
            return true;
        }
    }
    return false;
}

// Called with heldLock held.
void passOnHeld()
{
    for (const HeldMessage &m : qAsConst(held)) {
        const QMessageLogContext context(m.file.constData(), m.line, m.function.constData(),
                                         m.category.constData());
        passOnTo(m.type, context, m.text);
    }
    held.clear();
}

void holdBack(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const QMutexLocker locker(&heldLock);
    if (!holding) { // came in while the watch was being released
        passOnTo(type, context, text);
        return;
    }
    if (type != QtFatalMsg) {
        held.append({type, context.file, context.function, context.category, context.line, text});
        return;
    }
    QString display;
    if (!displayUnanswered(&display)) {
        // Some other failure: shown as Qt shows it, and Qt aborts after.
        holding = false;
        qInstallMessageHandler(passOnTo);
        passOnHeld();
        passOnTo(type, context, text);
        return;
    }
    const QString hint = QStringLiteral("无法连接图形显示“%1”").arg(display)
        + startInVirtualDisplay(watchedProgram);
    std::fprintf(stderr, "%s\n", hint.toUtf8().constData());
    std::fflush(stderr);
    // Not exit(): QApplication is half built, and nothing of ours needs ending.
    std::_Exit(1);
}

} // namespace

DisplayConnectionWatch::DisplayConnectionWatch(const char *program)
{
    watchedProgram = QString::fromLocal8Bit(program);
    holding = true;
    passOnTo = qInstallMessageHandler(holdBack);
}

void DisplayConnectionWatch::release()
{
    if (!watching)
        return;
    watching = false;
    const QMutexLocker locker(&heldLock);
    holding = false;
    qInstallMessageHandler(passOnTo);
    passOnHeld();
}

QString missingDisplayHint(const QStringList &arguments)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return QString();
    const QString asked = platformArgument(arguments);
    if (needsNoDisplay(asked.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : asked))
        return QString();
    const QString program
        = arguments.isEmpty() ? QStringLiteral("upgrade-package-tool") : arguments.first();
    return QStringLiteral("没有可用的图形显示（DISPLAY和WAYLAND_DISPLAY均未设置）")
        + startInVirtualDisplay(program);
#else
    Q_UNUSED(arguments)
    return QString();
#endif
}

bool printMissingDisplayHint(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString hint = missingDisplayHint(arguments);
    if (hint.isEmpty())
        return false;
    std::fprintf(stderr, "%s\n", hint.toUtf8().constData());
    return true;
}
