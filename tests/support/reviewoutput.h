#pragma once

#include <QString>

/// A path under the build folder's "review" directory, for images and files that a person looks
/// at after a run; the directory is created.
QString reviewOutputPath(const QString& fileName);
