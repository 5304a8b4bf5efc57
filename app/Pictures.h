// The window's pictures, drawn at start-up so the program carries no image
// files: the two port glyphs, the 9-pin connector's signal assignment, the
// link picture and the printer page's sample picture.
#pragma once

#include <QImage>
#include <QPixmap>

QPixmap ClosedPortGlyph();
QPixmap OpenPortGlyph();
QPixmap ConnectorPinout();
QPixmap LinkPicture();
QImage SamplePrintPicture();
