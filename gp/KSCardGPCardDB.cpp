#include "gp/KSCardGPCardDB.h"

namespace qel::gp {

TKSCardGPCardDB::TKSCardGPCardDB(const std::string& file_name) : TKSCardGPCardDBini(file_name) {}

}  // namespace qel::gp
