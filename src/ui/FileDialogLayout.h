#pragma once

class QFileDialog;

namespace strataloom {

// Lays out Qt's own file dialog so that nothing is clipped: the detail view's
// columns as wide as their headers and contents, whatever the language; and,
// when the dialog asks for a folder, no row of file types, which would offer
// only "All Files (*)".
void fitFileDialog(QFileDialog& dialog, bool asksForFolder);

} // namespace strataloom
