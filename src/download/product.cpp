// The product record: the parsed product list from the store and the folder its files go to.
#include "download/product.h"

#include <windows.h>

#include <cwchar>

#include "download/state.h"
#include "foundation/path_win.h"
#include "foundation/util.h"

wchar_t download_dir[MAX_PATH + 32];

product_specification& product = *new product_specification;

bool read_product(char* response, std::size_t length) {
    std::wstring directory;
    // A cut-off name would put the files somewhere else: treat it as the failure it is.
    system_assert_("GetModuleFileName", program_directory(directory));
    directory += L"Quarryvale temporary files";
    std::wmemcpy(download_dir, directory.c_str(), directory.size() + 1);

    if (!parse_product_specification(response, length, product)) {
        return false;
    }
    hashes = published_hashes(product);
    return true;
}

const char* download_title() {
    return product.download_title;
}

const char* download_executable() {
    return product.download_executable;
}
