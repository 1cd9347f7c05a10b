#ifndef WORKOBJECT_H
#define WORKOBJECT_H

#include "combinedpackage.h"
#include "packagefailure.h"
#include "packageitem.h"
#include "packagereport.h"
#include "packagewriter.h"
#include "runcontrol.h"

#include <QObject>
#include <QString>

// Runs the slow steps on the worker thread: screening a combined package and
// writing the archive for a packaging run, and inspecting a package for a
// look inside it. Each request is answered with one signal. The run's
// progress and its cancel flag are shared through runControl(), which any
// thread may read and cancel without waiting.
class WorkObject : public QObject
{
    Q_OBJECT

public:
    explicit WorkObject(QObject *parent = nullptr);
    RunControl *runControl() { return &control; }

signals:
    void compressFinished(bool isSuccess, PackageFailure failure, WrittenArchive written);
    void decompressFinished(bool isSuccess, CombinedPackage package, PackageFailure failure);
    // inspect's report: the package is let go before it comes.
    void inspectFinished(PackageReport report);

public slots:
    void executeCompress(QString packageName, PackageItems items, WriteOptions options);
    void execDecompress(QString packagePath);
    void execInspect(QString packagePath);

private:
    RunControl control;
};

#endif // WORKOBJECT_H
