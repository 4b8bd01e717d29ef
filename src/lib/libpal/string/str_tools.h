// String tools, one header each: quoting and replacing, tests and searches,
// editing in place, recent lines. This header gathers them for callers that
// use several.
#pragma once

#include "libpal/string/str_edit.h"
#include "libpal/string/str_quote.h"
#include "libpal/string/str_search.h"
#include "libpal/string/str_tail.h"
