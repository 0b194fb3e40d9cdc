// The terminal a fake device may forward to. Kept apart from the fake's
// portable part: only FakeD2xxLine.cpp uses the system's terminal calls.
#pragma once

#include <memory>
#include <string>

namespace fake_d2xx {

class Line {
public:
    virtual ~Line() = default;
    // Each false on an I/O error.
    virtual bool Write(const unsigned char* data, unsigned count, unsigned& written) = 0;
    virtual bool Waiting(unsigned& rx, unsigned& tx) = 0;
    virtual bool Read(unsigned char* buffer, unsigned count, unsigned& got) = 0;
};

// The terminal at `path`, raw; nullptr when it cannot be opened (always on
// systems without terminals).
std::unique_ptr<Line> OpenLine(const std::string& path);

} // namespace fake_d2xx
