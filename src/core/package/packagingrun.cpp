#include "packagingrun.h"

PackageFailure firstProblem(const PackageScreening &screening)
{
    return screening.problems.isEmpty() ? PackageFailure() : screening.problems.first();
}

PackagingOutcome preparePackaging(const PackageRequest &request, RunControl *control)
{
    PackagingOutcome outcome;
    CheckedRequest checked;
    outcome.failure = checkPackageRequest(request, &checked);
    if (outcome.failure.failed())
        return outcome;
    outcome.items = checked.items;
    if (!checked.combinedPackagePath.isEmpty()) {
        const PackageScreening screening
            = screenCombinedPackage(checked.combinedPackagePath, control);
        outcome.failure = firstProblem(screening);
        if (!outcome.failure.failed() && request.replaceItemsOfCombinedPackage)
            outcome.replacements = replacementsIn(screening.package, outcome.items);
        if (!outcome.failure.failed())
            outcome.failure
                = mergeCombinedPackage(screening.package, &outcome.items, outcome.replacements);
        if (outcome.failure.failed()) {
            if (outcome.failure.row < 0)
                outcome.failure.row = checked.combinedPackageRow;
            return outcome;
        }
    }
    outcome.archivePath = archivePathFor(request.outputFolder, request.packageName);
    return outcome;
}

PackagingOutcome runPackaging(const PackageRequest &request, RunControl *control,
                              const WriteOptions &options)
{
    PackagingOutcome outcome = preparePackaging(request, control);
    if (!outcome.failure.failed())
        outcome.failure = writePackage(outcome.archivePath, outcome.items, control, options);
    return outcome;
}
