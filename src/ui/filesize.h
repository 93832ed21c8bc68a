#pragma once

#include <QString>

/// How the progress windows show byte counts.
namespace FileSize {

/// A byte count as text in GB, MB or KB with two decimals, or in B (negative counts too).
QString toText(qint64 bytes);

} // namespace FileSize
