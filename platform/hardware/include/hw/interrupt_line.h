// A digital signal that one device drives and another samples.
#pragma once

namespace hw {

class InterruptLine {
public:
    virtual ~InterruptLine() = default;
    // The level at the reader's current time; true = asserted.
    virtual bool Level() = 0;
};

}  // namespace hw
