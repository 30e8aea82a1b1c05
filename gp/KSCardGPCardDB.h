#pragma once

#include <string>

#include "gp/KSCardGPCardDBini.h"

namespace qel::gp {

// The database a card object owns. An empty name reads "./KSCard.ini" from the current directory.
class TKSCardGPCardDB : public TKSCardGPCardDBini {
public:
    explicit TKSCardGPCardDB(const std::string& file_name = "");
};

}  // namespace qel::gp
