// The panel behind QueryDonors, for the fast query pass (the public header names it only).
#pragma once

#include "knn/panel/panel.hpp"

namespace mirel::knn {

// The fitted rows at positions 0, 1, ... in row order.
class DonorPanel : public detail::Panel {};

}  // namespace mirel::knn
