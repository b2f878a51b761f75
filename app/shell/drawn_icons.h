// Toolbar pictures and the program icon, drawn at run time.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace icons {
QIcon load();
QIcon blankCheck();
QIcon erase();
QIcon program();
QIcon verify();
QIcon autoprocedure();
QIcon setup();
QIcon stop();
QIcon program_icon();  // the window and About box icon
QPixmap aboutBanner(int width, int height);  // the About box's second picture
}  // namespace icons
