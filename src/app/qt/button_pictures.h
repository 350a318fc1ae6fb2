// The 32 x 32 pictures of the main window's buttons, drawn in code.
#pragma once

#include <QIcon>

namespace kavo {

QIcon ExitPicture();   // a red circle with a white cross
QIcon FilePicture();   // a yellow folder
QIcon SendPicture();   // a green arrow into a terminal

}  // namespace kavo
