// The COM port a fake device may forward to (the Wine wizard pass names one
// in FAKE_D2XX_DEVICE). Kept apart from the fake's portable part: only
// FakeD2xxLine.cpp uses the system's serial calls.
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

// The COM port at `path` ("\\.\COM7"), raw; nullptr when it cannot be
// opened (always but on Windows).
std::unique_ptr<Line> OpenLine(const std::string& path);

} // namespace fake_d2xx
