# SPDX-License-Identifier: MIT
# Run by cpack between staging the files and packing them: the staged
# directories were made under the packager's umask (0700 under umask 077),
# and the package must carry them as 0755.
file(CHMOD_RECURSE ${CPACK_TEMPORARY_DIRECTORY}
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                           GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
