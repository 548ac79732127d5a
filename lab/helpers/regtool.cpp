// Prepares and reads back the uninstall entry with exact types and bytes, in either view.
//   regtool clear             delete the entry in both views
//   regtool set VALUES        write "view,name,type,hex;..."
//   regtool dump 64|32        print "name<TAB>type<TAB>hex" per value, or "missing"

#include "helper_util.h"

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && wcscmp(argv[1], L"clear") == 0)
        return ClearEntry();
    if (argc == 3 && wcscmp(argv[1], L"set") == 0)
        return ApplyRegistryValues(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"dump") == 0)
        return PrintEntry(stdout, "", argv[2]);
    fprintf(stderr, "usage: regtool clear | set VALUES | dump 64|32\n");
    return 2;
}
