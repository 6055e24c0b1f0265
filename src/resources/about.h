// The About box's text: name, build time, revision and the maker's details, fixed when
// the program is built.
#pragma once

extern const char about_text[];
