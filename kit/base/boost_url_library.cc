// Boost.URL's compiled part, built into the kit from the header-only form that Boost offers
// (Debian's libboost1.81-dev has the headers but not the library), with this build's flags.
// Exactly one file of the whole program may include it.
#include <boost/url/src.hpp>
