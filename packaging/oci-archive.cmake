# SPDX-License-Identifier: MIT
# Included by build-image.cmake and build-index.cmake: an OCI image layout
# packed as an OCI archive, in a fixed order with fixed owners, modes and
# times (SOURCE_DATE_EPOCH), so that the same layout gives the same bytes.
function(pack_oci_layout layout output)
  execute_process(
    COMMAND tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime=@${SOURCE_DATE_EPOCH}
                --mode=u+rwX,go+rX,go-w -C "${layout}" -cf "${output}" .
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()
