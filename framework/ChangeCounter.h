#pragma once
// ChangeCounter: how often a stage was changed from outside its processing.
//
// A caller that keeps a view of a stage (copied taps, histories, settings)
// compares the count with the one it saw to tell whether the view is stale.
// An owner of many stages can also have every one of them count into one
// total of its own (countAlsoInto): while that total stands still, no stage
// changed, and one comparison replaces one per stage. The total must outlive
// the stages counting into it.
//
// Real time: bump and value allocate nothing and never throw. Not atomic:
// the stage and its owner are changed from one thread at a time, as the
// stage itself is.

#include <cstdint>

namespace qb32 {

class ChangeCounter {
public:
    void bump() noexcept {
        ++own;
        if (total != nullptr) ++*total;
    }
    [[nodiscard]] std::uint32_t value() const noexcept { return own; }
    // Every later bump also counts into *sum (null: no longer).
    void countAlsoInto(std::uint32_t* sum) noexcept { total = sum; }

private:
    std::uint32_t own = 0;
    std::uint32_t* total = nullptr;
};

}  // namespace qb32
