// Writing bytes read back from a part into a file, for every family's Read
// job: Intel HEX when the name ends in ".hex" (any letter case), with the
// part's addresses; raw binary otherwise. The file is replaced whole or not
// at all, so a failed read never leaves half a file under the user's name.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// Intel HEX text of `bytes` placed at `baseAddress`: 16 data bytes a
// record, an extended linear address record wherever the upper half of the
// address changes, the end record last.
QByteArray IntelHexText(uint32_t baseAddress, const std::vector<uint8_t>& bytes);

// False, with a one-line reason in *error (Chinese, naming the file), when
// the file cannot be written.
bool WriteImageFile(const QString& path, uint32_t baseAddress, const std::vector<uint8_t>& bytes,
                    QString* error = nullptr);

// Whether WriteImageFile could write `path`, found without touching it (a
// temporary file beside it is made and removed): a read that takes a minute
// is not started towards a file that cannot be written. Same reason text.
bool CanWriteImageFile(const QString& path, QString* error = nullptr);
