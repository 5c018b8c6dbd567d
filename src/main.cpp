// korlinth-update: lists the attached CP210x devices and rebrands ZE devices.
#include <exception>
#include <iostream>
#include <string>

#include "CP210xWrapperUnit.h"
#include "ConsoleUnit.h"

int main() {
  PrepareConsole();
  TCp210xWrapper wrapper;
  try {
    WriteLine("Korlinth Update V01R01");
    wrapper.ProcessDevices();
  } catch (const std::exception& error) {
    try {
      WriteLine(std::string("Error: ") + error.what());
    } catch (const std::exception&) {
      // The console is gone; the closing line below fails the same way.
    }
  }
  try {
    WriteLine("Operation finished. Press Enter to close.");
    ReadLine(0);
  } catch (const std::exception& error) {
    std::cerr << "korlinth-update: " << error.what() << std::endl;
    return 1;
  }
  return 0;
}
