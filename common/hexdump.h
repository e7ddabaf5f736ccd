// Debugging hex dump of a byte range to stdout.
#ifndef TILESTREAM_HEXDUMP_H
#define TILESTREAM_HEXDUMP_H

// Rows of 16 bytes: prefix, hex pairs (a "- " after the eighth), text column.
// With showAddress the prefix is the row's address (style chosen per module
// by HEXDUMP_ADDRESS_STYLE), otherwise the row's offset as "%03x: ".
void hexDump(const void *data, int count, bool showAddress);

#endif
