#pragma once

// Shows the program's messages as real message boxes from now on.
void installMessageBoxes();
