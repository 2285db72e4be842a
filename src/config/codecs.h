#pragma once
// The three passes between the EEPROM image and the description's controls: clear, fill
// (image to controls) and collect (controls to image).

#include <string>
#include <vector>

#include "config/description.h"
#include "device/eeprom_access.h"

namespace config {

void clearControls(const std::vector<XMLGUI>& items);
void fillControls(const std::vector<XMLGUI>& items, const EepromImage& image);

// Fails with the captions of the fields whose values the rules refused, in item order,
// once each.
using CollectResult = Result<void, std::vector<std::string>>;

// Collects into `image` only when every value is accepted; otherwise the image is untouched
// and the result names every refused field. A refused text that is exactly what Fill shows
// for the field's bytes (a port 0 meaning "none") is no new value: the field keeps its bytes
// and nothing is refused, so an unedited dialog always collects.
CollectResult collectControls(const std::vector<XMLGUI>& items, EepromImage& image);

} // namespace config
