#ifndef WORKOBJECT_H
#define WORKOBJECT_H

#include <QObject>
#include <QString>
#include <QStringList>

// Runs the slow file operations of a packaging run on the worker thread and
// answers each request with one signal that says only whether it succeeded.
class WorkObject : public QObject
{
    Q_OBJECT

public:
    explicit WorkObject(QObject *parent = nullptr);

signals:
    void compressFinished(bool isSuccess);
    void decompressFinished(bool isSuccess);

public slots:
    void executeCompress(QString packageName, QStringList sourceFiles);
    void execDecompress(QString packagePath);
};

#endif // WORKOBJECT_H
