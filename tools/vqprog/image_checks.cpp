#include "image_checks.h"

#include "flashimage/diff_check.h"
#include "flashimage/flash_limits.h"
#include "flashimage/image_rules.h"
#include "platform/file_read.h"

QStringList image_problems(const Action& action)
{
    if (action.arg.isEmpty() || action.name == QLatin1String("bootmode"))
        return {};
    const QString& path = action.arg;
    // The size is judged before a byte is read: a huge or sparse file costs nothing.
    const WholeFileRead file = read_whole_file(path, kLargestFlashBytes);
    if (file.status != WholeFileStatus::Ok)
        return {whole_file_problem(path, file, kLargestFlashBytes)};
    if (file.bytes.isEmpty())
        return {path + QStringLiteral(": the image is empty")};
    QStringList out;
    if (action.name == QLatin1String("update-flash") && is_diff_image_name(path)) {
        // The flash size is not known before the chip is asked: records are
        // held to the largest flash here, to the real one by the update.
        for (const DiffProblem& p : check_diff_records(file.bytes, 0))
            out << path + QStringLiteral(": ") + p.reason;
    }
    return out;
}
