// Tag addresses: any text (and host type) either gives a tag of a known kind
// with a bit from 0 to 7, or a message that starts with the tag prefix.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/CString.h"
#include "protocol/TagTable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int type = data[0] & 1 ? kDigitalTagType : data[0];
    std::string address(reinterpret_cast<const char*>(data + 1), size - 1);
    CTagTable table;
    CString message;
    auto tag = table.ParseAddress(address.c_str(), type, 0, 7, &message);
    if (tag) {
        if ((tag->GetKind() != 'I' && tag->GetKind() != 'O') || tag->GetBit() < 0 ||
            tag->GetBit() > 7) {
            __builtin_trap();
        }
        table.Add(std::move(tag));
        table.UpdateInputs(data[0]);
    } else if (message.IsEmpty()) {
        __builtin_trap();
    }
    return 0;
}
