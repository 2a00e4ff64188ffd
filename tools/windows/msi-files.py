#!/usr/bin/python3
"""Writes the WiX fragment of the installer's files: the program folder's
tree below INSTALLDIR, one component per file (the file its key path), and
in every directory the instruction to remove it on uninstall, so that
nothing of the folder stays behind, also where Windows Installer leaves
empty directories (Wine's does). The GUID of each component is derived from
its path, so that an upgrade knows the components again.

Usage: msi-files.py FOLDER SOURCE-VARIABLE > files.wxs
"""

import hashlib
import os
import sys
import uuid
from xml.sax.saxutils import quoteattr

NAMESPACE = uuid.UUID("2b0ad0c9-7d38-4c5b-9c1e-1f3f4a1d0b11")


def ident(kind, path):
    return kind + hashlib.sha1(path.encode("utf-8")).hexdigest()[:30].upper()


def guid(path):
    return str(uuid.uuid5(NAMESPACE, path.lower())).upper()


def directory(out, folder, relative, variable, depth):
    pad = "  " * depth
    # Every directory gets a component of its own that removes it.
    out.append('%s<Component Id="%s" Guid="%s" Win64="yes">' % (pad, ident("rmd", relative or "."), guid("dir:" + relative)))
    out.append('%s  <RemoveFolder Id="%s" On="uninstall"/>' % (pad, ident("rmf", relative or ".")))
    out.append("%s</Component>" % pad)
    components = [ident("rmd", relative or ".")]
    full = os.path.join(folder, relative)
    for name in sorted(os.listdir(full)):
        path = os.path.join(relative, name) if relative else name
        if os.path.isdir(os.path.join(folder, path)):
            out.append("%s<Directory Id=%s Name=%s>" % (pad, quoteattr(ident("dir", path)), quoteattr(name)))
            components += directory(out, folder, path, variable, depth + 1)
            out.append("%s</Directory>" % pad)
        else:
            component = ident("cmp", path)
            out.append('%s<Component Id="%s" Guid="%s" Win64="yes">' % (pad, component, guid(path)))
            out.append('%s  <File Id="%s" KeyPath="yes" Source=%s/>'
                       % (pad, ident("fil", path), quoteattr("$(var.%s)/%s" % (variable, path))))
            out.append("%s</Component>" % pad)
            components.append(component)
    return components


def main():
    folder, variable = sys.argv[1], sys.argv[2]
    out = []
    components = directory(out, folder, "", variable, 3)
    print('<?xml version="1.0" encoding="utf-8"?>')
    print('<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">')
    print("  <Fragment>")
    print('    <DirectoryRef Id="INSTALLDIR">')
    print("\n".join(out))
    print("    </DirectoryRef>")
    print('    <ComponentGroup Id="ProgramFiles">')
    for component in components:
        print('      <ComponentRef Id="%s"/>' % component)
    print("    </ComponentGroup>")
    print("  </Fragment>")
    print("</Wix>")


if __name__ == "__main__":
    main()
