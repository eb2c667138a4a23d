#pragma once

// Large buffers (a megabyte and more: encoder planes, big encoded pictures)
// come straight from the system and go back to it when freed. The C
// library otherwise raises its threshold for that after the first such
// buffer is freed and serves later ones from its heap, where the pages of
// freed buffers stay resident: an encoder reopened, or a stalled stream
// reconnected every few seconds, then grows the process by megabytes a
// cycle. Call once, early in main.
void keepLargeBuffersOutOfTheHeap();
