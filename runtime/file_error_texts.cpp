#include "runtime/file_error_texts.h"

std::string FileErrorText(FileError error, std::string_view code) {
  std::string text = FileErrorTexts[static_cast<size_t>(error)];
  text += ": ";
  text += code;
  return text;
}
