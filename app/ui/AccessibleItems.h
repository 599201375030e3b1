#pragma once

// What assistive technology is told about the window's items, beyond what
// Qt Quick 6.4 tells it: an item that is disabled is reported disabled (a
// greyed-out button otherwise reads as one that can be pressed).
namespace AccessibleItems {

// Installs the interface maker ahead of Qt Quick's; once, before the first
// window's QML loads.
void install();

} // namespace AccessibleItems
