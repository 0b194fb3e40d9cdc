#include "engine/FirmwareFile.h"

#include "engine/Sha256.h"

namespace fw {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

} // namespace

WholeFile FirmwareFile::Load(const std::string& path) {
    return ReadWholeFile(path, kMaxBytes);
}

bool FirmwareFile::Open(std::shared_ptr<const std::string> image) {
    image_ = std::move(image);
    at_ = image_ && image_->starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    return image_ != nullptr;
}

std::string_view FirmwareFile::Head() const {
    if (!image_) {
        return {};
    }
    return std::string_view(*image_).substr(at_, kHeadSize);
}

FirmwareFile::ReadResult FirmwareFile::ReadLine(std::string& line) {
    line.clear();
    if (AtEnd()) {
        return ReadResult::End;
    }
    const std::string_view rest = std::string_view(*image_).substr(at_);
    const std::size_t end = rest.find_first_of("\r\n");
    const std::size_t length = end == std::string_view::npos ? rest.size() : end;
    if (length > kMaxLine) {
        return ReadResult::TooLong;
    }
    line.assign(rest.substr(0, length));
    at_ += length;
    if (at_ < image_->size()) {
        const bool crlf =
            (*image_)[at_] == '\r' && at_ + 1 < image_->size() && (*image_)[at_ + 1] == '\n';
        at_ += crlf ? 2 : 1;
    }
    return ReadResult::Line;
}

std::string FirmwareFile::Digest() const {
    Sha256 digest;
    digest.Reset();
    if (image_) {
        digest.Update(image_->data(), image_->size());
    }
    return digest.HexDigest();
}

} // namespace fw
