#ifndef ZIPFAILURE_H
#define ZIPFAILURE_H

#include "packagefailure.h"
#include "zipproblem.h"

// A problem the ZIP layer found in the package at path, as the refusal users
// read (the words of each code and case are the package's own).
PackageFailure refusalFor(const ZipProblem &problem, const QString &path);

#endif // ZIPFAILURE_H
