// OLE: the object services on top of structured storage.
#pragma once
#include "objbase.h"
#include "oleauto.h"
