// <windows.h> for the Windows side of the seams, without the macros that
// would rename this project's own functions where both meet (Yield,
// PostMessage, ...). Seam files use the ...A functions by their full names.
#pragma once

#include <windows.h>

#undef Yield
#undef GetMessage
#undef MessageBox
#undef PostMessage
#undef PostThreadMessage
