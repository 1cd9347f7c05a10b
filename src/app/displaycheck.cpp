#include "displaycheck.h"

#include <QtGlobal>

#include <cstdio>

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

} // namespace

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
    return QStringLiteral("没有可用的图形显示（DISPLAY和WAYLAND_DISPLAY均未设置），无法打开窗口；"
                          "可在虚拟显示中启动：xvfb-run -a %1（需安装软件包xvfb）")
        .arg(program);
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
