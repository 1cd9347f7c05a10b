#ifndef WORKOBJECT_H
#define WORKOBJECT_H

#include "combinedpackage.h"
#include "packagefailure.h"
#include "packageitem.h"
#include "packagewriter.h"
#include "runcontrol.h"

#include <QObject>
#include <QString>

// Runs the slow steps of a packaging run on the worker thread: screening a
// combined package, and writing the archive. Each request is answered with
// one signal. The run's progress and its cancel flag are shared through
// runControl(), which any thread may read and cancel without waiting.
class WorkObject : public QObject
{
    Q_OBJECT

public:
    explicit WorkObject(QObject *parent = nullptr);
    RunControl *runControl() { return &control; }

signals:
    void compressFinished(bool isSuccess, PackageFailure failure, WrittenArchive written);
    void decompressFinished(bool isSuccess, CombinedPackage package, PackageFailure failure);

public slots:
    void executeCompress(QString packageName, PackageItems items, WriteOptions options);
    void execDecompress(QString packagePath);

private:
    RunControl control;
};

#endif // WORKOBJECT_H
