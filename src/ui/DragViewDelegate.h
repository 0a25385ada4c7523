#pragma once

#include "FileUrl.h"

#include <vector>

namespace strataloom {

// How the drop view hands dropped URLs, in drag order, to its controller.
class DragViewDelegate {
public:
    virtual ~DragViewDelegate() = default;
    virtual void dragViewDidReceive(const std::vector<FileUrl>& fileURLs) = 0;
};

} // namespace strataloom
