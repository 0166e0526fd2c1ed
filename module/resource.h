// Resource ids of the library: the registration scripts of the class table.
#pragma once

#define IDR_COMPDOCFORMATS 102
#define IDR_COMPDOCFILE 103
