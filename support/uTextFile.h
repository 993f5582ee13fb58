#pragma once
// Small text files the program reads and writes whole: configuration
// backups. Names are UTF-8 on every system. Writing goes through a
// temporary file beside the target, so a failure never leaves a
// half-written file in place of an older one.

#include <cstdint>
#include <filesystem>
#include <string>

#include "uExceptions.h"

namespace kelvo {

class ETextFileError : public Exception {
public:
    ETextFileError(std::string Message, bool TooLarge = false) : Exception(std::move(Message)), FTooLarge(TooLarge) {}
    bool TooLarge() const { return FTooLarge; }

private:
    bool FTooLarge;
};

std::filesystem::path Utf8Path(const std::string& Name);

// The whole file; "<file>: <why>" when it cannot be read, TooLarge when it
// holds more than MaxSize bytes.
std::string ReadTextFile(const std::string& File, uintmax_t MaxSize);

// Replaces File with Text; "<file>: cannot be written (<why>)" otherwise,
// and the file is then as it was.
void WriteTextFileReplacing(const std::string& File, const std::string& Text);

}  // namespace kelvo
