#!/usr/bin/env python3
"""Writes the source of an installer package that carries the bench's data tree: FILES small files in
folders of a hundred under Program Files\\Tavo Bench Data, one component per folder (each file of a folder
is the same source file under another name)."""
import sys
import uuid

out, source, files = sys.argv[1], sys.argv[2], int(sys.argv[3])
NS = uuid.UUID("6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b")


def guid(name):
    return "{" + str(uuid.uuid5(NS, name)).upper() + "}"


lines = [
    '<?xml version="1.0" encoding="utf-8"?>',
    '<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">',
    f'  <Product Id="{guid("product")}" Name="Tavo Bench Data" Language="1033" Version="1.0.0"'
    f' Manufacturer="Bench" UpgradeCode="{guid("upgrade")}">',
    '    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>',
    '    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>',
    '    <Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="ProgramFilesFolder">',
    '      <Directory Id="INSTALLDIR" Name="Tavo Bench Data"><Directory Id="DATA" Name="data">',
]
folders = (files + 99) // 100
for f in range(folders):
    lines.append(f'        <Directory Id="d{f}" Name="{f}"><Component Id="c{f}" Guid="{guid(str(f))}">')
    for i in range(f * 100, min(files, f * 100 + 100)):
        key = ' KeyPath="yes"' if i == f * 100 else ""
        lines.append(f'          <File Id="f{i}" Name="item{i}.dat" Source="{source}"{key}/>')
    lines.append("        </Component></Directory>")
lines += ["      </Directory></Directory>", "    </Directory></Directory>",
          '    <Feature Id="Complete" Level="1">']
lines += [f'      <ComponentRef Id="c{f}"/>' for f in range(folders)]
lines += ["    </Feature>", "  </Product>", "</Wix>"]
with open(out, "w", encoding="utf-8") as wxs:
    wxs.write("\n".join(lines) + "\n")
