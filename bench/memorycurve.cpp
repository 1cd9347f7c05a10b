// Draws the benchmark's memory curve: peak and baseline RSS of the packaging
// run, and peak RSS of the run that merges its package, against the input
// size, on a logarithmic size axis, with the limit.
//
//   memorycurve INPUT.tsv OUTPUT.png [LIMIT_MIB]
//
// INPUT.tsv holds one line per size: input bytes, peak RSS MiB, baseline RSS
// MiB and, optionally, the merge run's peak RSS MiB.

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QVector>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

struct Point
{
    double bytes;
    double peakMiB;
    double baselineMiB;
    double mergePeakMiB; // 0: not measured
};

QString sizeLabel(double bytes)
{
    const double mib = bytes / (1024.0 * 1024.0);
    return mib >= 1024 ? QStringLiteral("%1 GiB").arg(mib / 1024.0, 0, 'g', 3)
                       : QStringLiteral("%1 MiB").arg(mib, 0, 'g', 4);
}

QVector<Point> readPoints(const QString &path)
{
    QVector<Point> points;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return points;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() >= 3 && fields.at(0).toDouble() > 0)
            points.append({fields.at(0).toDouble(), fields.at(1).toDouble(),
                           fields.at(2).toDouble(), fields.value(3).toDouble()});
    }
    return points;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s INPUT.tsv OUTPUT.png [LIMIT_MIB]\n", argv[0]);
        return 64;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QVector<Point> points = readPoints(QString::fromLocal8Bit(argv[1]));
    const double limit = argc > 3 ? std::atof(argv[3]) : 64.0;
    if (points.isEmpty())
        return 1;

    const QRectF plot(80, 50, 620, 330);
    QImage image(760, 460, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);

    double minX = std::log2(points.first().bytes), maxX = minX, maxY = limit;
    bool merged = true;
    for (const Point &p : points) {
        minX = std::min(minX, std::log2(p.bytes));
        maxX = std::max(maxX, std::log2(p.bytes));
        maxY = std::max({maxY, p.peakMiB, p.mergePeakMiB});
        merged = merged && p.mergePeakMiB > 0;
    }
    if (maxX - minX < 1) {
        minX -= 0.5;
        maxX += 0.5;
    }
    maxY = std::ceil(maxY * 1.15 / 16) * 16;
    auto toPixel = [&](double bytes, double mib) {
        const double x = (std::log2(bytes) - minX) / (maxX - minX);
        return QPointF(plot.left() + x * plot.width(), plot.bottom() - mib / maxY * plot.height());
    };

    painter.setPen(QColor(220, 220, 220));
    for (double y = 0; y <= maxY; y += 16) {
        painter.drawLine(toPixel(std::exp2(minX), y), toPixel(std::exp2(maxX), y));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(0, toPixel(1, y).y() - 10, plot.left() - 8, 20),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(y));
        painter.setPen(QColor(220, 220, 220));
    }
    painter.setPen(Qt::black);
    painter.drawRect(plot);
    for (const Point &p : points) {
        const QPointF at = toPixel(p.bytes, 0);
        painter.drawLine(at, at + QPointF(0, 5));
        painter.drawText(QRectF(at.x() - 50, at.y() + 6, 100, 20), Qt::AlignCenter,
                         sizeLabel(p.bytes));
    }
    painter.drawText(QRectF(0, 10, image.width(), 24), Qt::AlignCenter,
                     merged
                         ? QStringLiteral("Peak RSS of packing and of merging against input size")
                         : QStringLiteral("Peak RSS of a packaging run against input size"));
    painter.drawText(QRectF(plot.left(), plot.bottom() + 28, plot.width(), 20), Qt::AlignCenter,
                     QStringLiteral("input size (log scale)"));
    painter.save();
    painter.translate(18, plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-100, -10, 200, 20), Qt::AlignCenter, QStringLiteral("RSS (MiB)"));
    painter.restore();

    painter.setPen(QPen(Qt::red, 1.5, Qt::DashLine));
    painter.drawLine(toPixel(std::exp2(minX), limit), toPixel(std::exp2(maxX), limit));

    auto drawSeries = [&](double Point::*value, const QColor &color) {
        QPainterPath path;
        for (int i = 0; i < points.size(); ++i) {
            const QPointF at = toPixel(points.at(i).bytes, points.at(i).*value);
            i == 0 ? path.moveTo(at) : path.lineTo(at);
        }
        painter.setPen(QPen(color, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(path);
        painter.setBrush(color);
        for (const Point &p : points)
            painter.drawEllipse(toPixel(p.bytes, p.*value), 3.5, 3.5);
    };
    drawSeries(&Point::peakMiB, QColor(30, 90, 200));
    painter.setPen(QColor(30, 90, 200));
    for (const Point &p : points) {
        const QPointF at = toPixel(p.bytes, p.peakMiB);
        painter.drawText(QRectF(at.x() - 40, at.y() - 26, 80, 20), Qt::AlignCenter,
                         QString::number(p.peakMiB, 'f', 1));
    }
    drawSeries(&Point::baselineMiB, QColor(120, 120, 120));
    if (merged) {
        drawSeries(&Point::mergePeakMiB, QColor(20, 150, 70));
        painter.setPen(QColor(20, 150, 70));
        for (const Point &p : points) {
            const QPointF at = toPixel(p.bytes, p.mergePeakMiB);
            // Above the packing run's label: the two peaks lie close together.
            painter.drawText(QRectF(at.x() - 40, at.y() - 44, 80, 20), Qt::AlignCenter,
                             QString::number(p.mergePeakMiB, 'f', 1));
        }
    }

    const QPointF legend(plot.left() + 12, plot.top() + 14);
    QList<QPair<QColor, QString>> entries {
        {QColor(30, 90, 200),
         merged ? QStringLiteral("peak RSS packing") : QStringLiteral("peak RSS during the run")},
        {QColor(120, 120, 120), QStringLiteral("RSS before the run (window shown)")},
        {Qt::red, QStringLiteral("limit %1 MiB").arg(limit)}};
    if (merged)
        entries.insert(1, {QColor(20, 150, 70), QStringLiteral("peak RSS merging that package")});
    for (int i = 0; i < entries.size(); ++i) {
        const QPointF at = legend + QPointF(0, 20 * i);
        painter.setPen(QPen(entries.at(i).first, 2));
        painter.drawLine(at, at + QPointF(24, 0));
        painter.setPen(Qt::black);
        painter.drawText(QRectF(at.x() + 30, at.y() - 10, 400, 20), Qt::AlignVCenter,
                         entries.at(i).second);
    }
    painter.end();
    return image.save(QString::fromLocal8Bit(argv[2]), "PNG") ? 0 : 1;
}
