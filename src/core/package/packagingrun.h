#ifndef PACKAGINGRUN_H
#define PACKAGINGRUN_H

#include "combinedpackage.h"
#include "packagefailure.h"
#include "packagerequest.h"
#include "packagewriter.h"
#include "runcontrol.h"

// The steps of one packaging run, in the order the window and the command
// line both take them; the window runs the slow ones on its worker thread.
//   1. checkPackageRequest()      the form: folder, name, rows, file names
//   2. screenCombinedPackage()    a combined package, if the request has one
//   3. mergeCombinedPackage()     its items into the request's
//   4. writePackage()             the archive
// runPackaging() takes them all in one go, on the calling thread.
struct PackagingOutcome
{
    PackageFailure failure;
    QString archivePath;
    PackageItems items;
    QList<Replacement> replacements; // of the combined package's items
};

// options.replaceable names the file the caller agreed to replace.
PackagingOutcome runPackaging(const PackageRequest &request, RunControl *control,
                              const WriteOptions &options = WriteOptions());

// Steps 1 to 3: the items to write and the archive's path, or why not.
// control, when given, may cancel the screening.
PackagingOutcome preparePackaging(const PackageRequest &request, RunControl *control = nullptr);

// Step 2's answer as one failure: the first problem screening found.
PackageFailure firstProblem(const PackageScreening &screening);

#endif // PACKAGINGRUN_H
