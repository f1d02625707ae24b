#pragma once
#include "mdserver/base/status_codes.h"
#include "mdserver/model/repository.h"
