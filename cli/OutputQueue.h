// Progress text waiting for an output that takes no more for now: whole texts
// in order, a bounded amount of them, written as the output takes them. The
// same on every system; only the write differs.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace fw::cli {

class OutputQueue {
public:
    explicit OutputQueue(std::size_t bound) : bound_(bound) {}

    // Takes `text` unless it would pass the bound. One text larger than the
    // bound is taken when nothing else waits: the table at the end of a large
    // batch.
    bool Add(std::string text) {
        if (!texts_.empty() && bytes_ + text.size() > bound_) {
            return false;
        }
        bytes_ += text.size();
        texts_.push_back(std::move(text));
        return true;
    }

    // Writes what waits, until the output takes no more. `write(data, size)`
    // gives the bytes taken, 0 when the output takes none now, and a negative
    // number when it is gone: nothing will be read, and what waits is dropped.
    // A text taken in part keeps its rest at the front.
    template <class Write> void Drain(Write write) {
        while (!texts_.empty()) {
            std::string& text = texts_.front();
            const long long n = write(text.data(), text.size());
            if (n == 0) {
                return;
            }
            if (n < 0) {
                texts_.clear();
                bytes_ = 0;
                return;
            }
            const auto taken = static_cast<std::size_t>(n);
            bytes_ -= taken;
            if (taken < text.size()) {
                text.erase(0, taken);
            } else {
                texts_.pop_front();
            }
        }
    }

    bool Empty() const { return texts_.empty(); }

private:
    std::size_t bound_;
    std::deque<std::string> texts_;
    std::size_t bytes_ = 0;
};

} // namespace fw::cli
