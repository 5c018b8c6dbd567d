// korlinth-update: lists the attached CP210x devices and rebrands ZE devices.
#include <exception>
#include <iostream>
#include <string>

#include "CP210xWrapperUnit.h"
#include "ConsoleUnit.h"

int main() {
  PrepareConsole();
  TCp210xWrapper wrapper;
  std::string unshown;  // an error that ended the pass but could not be shown
  try {
    WriteLine("Korlinth Update V01R01");
    wrapper.ProcessDevices();
  } catch (const std::exception& error) {
    try {
      WriteLine(std::string("Error: ") + error.what());
    } catch (const std::exception&) {
      unshown = error.what();
    }
  }
  try {
    WriteLine("Operation finished. Press Enter to close.");
    ReadLine(0);
  } catch (const std::exception& error) {
    // The console has failed: the one line left goes to standard error.
    std::cerr << "korlinth-update: " << (unshown.empty() ? error.what() : unshown) << std::endl;
    return 1;
  }
  return 0;
}
