#pragma once
#include "mdserver/storage/loader.h"
