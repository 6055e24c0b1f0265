// The install screen: starts the product's installer once the download is complete.
#pragma once

void install_init();
