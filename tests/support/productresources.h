#pragma once

/// Makes the product's resources (":/res/bk.png", ":/res/logo.ico") available to a test
/// executable, which does not link them: compiles res/res.qrc with rcc and registers the result.
/// Returns true when ":/res/bk.png" can be opened afterwards.
bool registerProductResources();
