#include "GPToolsUtils.h"

#include "util/ByteCopy.h"
#include "util/Exception.h"
#include "util/KUDynArrays.h"

namespace qel::gp {

void TKGPToolsUtils::SafeCopyArray(const util::ByteArray& source, std::int32_t source_index,
                                   util::ByteArray& destination, std::int32_t destination_index,
                                   std::int32_t count) {
    const std::int64_t n = count == -1 ? static_cast<std::int64_t>(source.size()) : count;
    bool in_bounds = source_index >= 0 && destination_index >= 0;
    if (in_bounds && n < 0) {
        // A count below -1 copies nothing, yet its indices are held against the ends as any
        // other range's are.
        in_bounds = source_index + n <= static_cast<std::int64_t>(source.size()) &&
                    destination_index + n <= static_cast<std::int64_t>(destination.size());
    } else if (in_bounds) {
        in_bounds = util::copy_checked(source, static_cast<std::size_t>(source_index), destination,
                                       static_cast<std::size_t>(destination_index),
                                       static_cast<std::size_t>(n));
    }
    if (!in_bounds)
        throw util::Exception(util::kSafeCopyBoundsError);
}

}  // namespace qel::gp
