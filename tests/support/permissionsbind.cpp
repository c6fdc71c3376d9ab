#include "permissionsbind.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Raw syscalls: libcap is not needed for three bits. Version 3 uses two 32-bit words.
bool capabilities(__user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3], bool set)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0}; // 0: this thread
    return syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

const int bypasses[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER};

} // namespace

PermissionsBind::PermissionsBind()
{
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (!capabilities(data, false))
        return;
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i)
        m_effective[i] = data[i].effective;
    for (const int capability : bypasses)
        data[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
    m_dropped = capabilities(data, true);
    if (!m_dropped)
        return;
    __user_cap_data_struct now[_LINUX_CAPABILITY_U32S_3] = {};
    m_binds = capabilities(now, false);
    for (const int capability : bypasses)
        m_binds = m_binds && !(now[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability));
}

PermissionsBind::~PermissionsBind()
{
    if (!m_dropped)
        return;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (!capabilities(data, false))
        return;
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i)
        data[i].effective = m_effective[i];
    capabilities(data, true);
}
