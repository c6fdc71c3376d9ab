#include "permissionsbind.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Raw syscalls: libcap is not needed for three bits. Version 3 uses two 32-bit words.
bool capabilities(__user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3], bool set)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0}; // 0: this thread
    return syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

} // namespace

PermissionsBind::PermissionsBind()
{
    if (!capabilities(m_saved, false))
        return;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3];
    std::copy_n(m_saved, _LINUX_CAPABILITY_U32S_3, data);
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
        data[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
    m_binds = capabilities(data, true);
}

PermissionsBind::~PermissionsBind()
{
    if (m_binds)
        capabilities(m_saved, true);
}
