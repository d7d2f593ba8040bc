#pragma once

// GMime must be initialised once per process before any use, from whichever thread gets there first.
void ensureGMime();
