// The registry stand-in's reader of HKLM.reg: whatever the file holds, it is read without a
// crash or undefined behaviour; every key it lists opens by its path in any letter case, as the
// registry calls look keys up; and every text value carries the terminator the readers expect.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/regfile.h"
#include "platform/registry.h"

namespace {

bool IsText(uint32_t type) {
    return type == sys::kRegSz || type == sys::kRegExpandSz || type == sys::kRegMultiSz;
}

void Check(const sys::RegHive& hive, const std::wstring& path, const sys::RegNode& node) {
    for (const sys::RegValue& value : node.values) {
        if (!IsText(value.type)) continue;
        const size_t units = value.data.size() / sizeof(wchar_t);
        if (value.data.size() % sizeof(wchar_t) != 0 || units == 0) std::abort();
        wchar_t last = 0;
        std::memcpy(&last, value.data.data() + (units - 1) * sizeof(wchar_t), sizeof last);
        if (last != L'\0') std::abort();
    }
    for (const std::wstring& name : node.children) {
        const std::wstring childPath = path.empty() ? name : path + L'\\' + name;
        const sys::RegNode* child = hive.Find(childPath);
        if (!child || hive.Find(sys::FoldName(childPath)) != child) std::abort();
        Check(hive, childPath, *child);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const sys::RegHive hive = sys::ParseRegFile(bytes);
    const sys::RegNode* root = hive.Find(L"");
    if (!root) std::abort();
    Check(hive, L"", *root);
    return 0;
}
