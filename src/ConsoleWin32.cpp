#include <iostream>

#include "ConsoleUnit.h"

void PrepareConsole() {
  // Standard output stays in text mode: the C runtime turns each "\n" into
  // CRLF and writes device texts byte for byte, whatever the code page.
  // Standard input in text mode drops the CR of a typed line end.
  std::ios::sync_with_stdio(false);
}
