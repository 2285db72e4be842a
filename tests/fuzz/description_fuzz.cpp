// libFuzzer target: a configuration-dialog description (eeprom_GUI.xml), loaded into the
// text form; then a blank image and a full one shown, every field read, and collected back.

#include <cstddef>
#include <cstdint>

#include "config/codecs.h"
#include "config/text_form.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile file(data, size);
    config::TextForm form;
    if (!form.load(file.path()))
        return 0;
    for (const std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
        EepromImage image;
        image.fill(fill);
        config::clearControls(form.items());
        config::fillControls(form.items(), image);
        for (const auto& field : form.fields())
            form.set(field.name, field.value);
        (void)config::collectControls(form.items(), image);
    }
    return 0;
}
