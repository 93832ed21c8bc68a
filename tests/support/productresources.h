#pragma once

/// Makes the product's compiled-in resources (":/res/bk.png", ":/res/logo.ico") available to a test
/// executable as update.exe has them: they live in the static support library, whose resource
/// initializer the linker drops without this reference. True when ":/res/bk.png" can be opened.
bool loadProductResources();
