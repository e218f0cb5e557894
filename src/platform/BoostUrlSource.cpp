// Boost.URL's compiled part, built with this program's standard library where
// the installed libboost_url was built against another (KOVA_BOOST_URL_FROM_SOURCE).
#include <boost/url/src.hpp>
