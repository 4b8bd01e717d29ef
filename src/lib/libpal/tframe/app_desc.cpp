#include "libpal/tframe/app_desc.h"

app_desc_info g_app = {};
