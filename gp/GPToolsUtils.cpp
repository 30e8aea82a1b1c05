#include "GPToolsUtils.h"

#include "util/Exception.h"
#include "util/KUDynArrays.h"

namespace qel::gp {

void TKGPToolsUtils::SafeCopyArray(const util::ByteArray& source, std::int32_t source_index,
                                   util::ByteArray& destination, std::int32_t destination_index,
                                   std::int32_t count) {
    std::int64_t n = count == -1 ? static_cast<std::int64_t>(source.size()) : count;
    if (source_index < 0 || destination_index < 0 ||
        source_index + n > static_cast<std::int64_t>(source.size()) ||
        destination_index + n > static_cast<std::int64_t>(destination.size())) {
        throw util::Exception(util::kSafeCopyBoundsError);
    }
    for (std::int64_t i = 0; i < n; ++i)
        destination[destination_index + i] = source[source_index + i];
}

}  // namespace qel::gp
