// Prints the token and the product identifier as the program reads them, for the token
// block test, which stamps copies of this executable and runs them.
#include <cstdio>

#include "resources/token_block.h"

int main() {
    std::printf("%s %s", cookie, product_identifier());
    return 0;
}
