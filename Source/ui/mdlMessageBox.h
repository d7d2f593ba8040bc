#pragma once

// Shows the program's messages as real message boxes from now on, and Qt's own texts (はい, いいえ,
// キャンセル) in Japanese like the rest of the program. Call once the application object exists.
void installMessageBoxes();
