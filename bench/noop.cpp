// SPDX-License-Identifier: MIT
// Does nothing: the cost of starting a process linked like gpu_arch.
int main()
{
    return 0;
}
