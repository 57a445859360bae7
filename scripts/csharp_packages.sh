#!/usr/bin/env bash
# The C# binding as hosts take it: OrvoModule.dll built with mcs, a NuGet package
# (lib/netstandard2.0 and the native library of each runtime) and a Unity package folder
# (package.json, Runtime/ with the binding and its assembly definition, Plugins/ with the
# library of each architecture).
#   scripts/csharp_packages.sh VERSION LINUX_X64_LIBRARY LINUX_ARM64_LIBRARY OUT_FOLDER
# Writes OUT_FOLDER/Orvo.OrvoModule.VERSION.nupkg and OUT_FOLDER/com.orvo.orvomodule/.
set -euo pipefail
version=$1 x64=$2 arm64=$3 out=$4
csharp="$(cd "$(dirname "${BASH_SOURCE[0]}")/../bindings/csharp" && pwd)"
mkdir -p "$out"
out=$(cd "$out" && pwd)

# Only mscorlib is referenced (-noconfig): Debian has no netstandard reference assembly, and
# .NET resolves mscorlib through its compatibility facade, as Mono and Unity do natively.
nuget="$out/nuget"
rm -rf "$nuget" && mkdir -p "$nuget/lib/netstandard2.0" \
  "$nuget/runtimes/linux-x64/native" "$nuget/runtimes/linux-arm64/native"
mcs -nologo -noconfig -optimize -target:library -out:"$nuget/lib/netstandard2.0/OrvoModule.dll" \
  "$csharp/OrvoModule.cs"
cp "$x64" "$nuget/runtimes/linux-x64/native/libOrvoModule.so"
cp "$arm64" "$nuget/runtimes/linux-arm64/native/libOrvoModule.so"
# The package manifest, under the name NuGet looks for at the package's root.
sed "s/@VERSION@/$version/" "$csharp/package-manifest.xml.in" >"$nuget/Orvo.OrvoModule.nuspec"
cat >"$nuget/[Content_Types].xml" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="so" ContentType="application/octet" />
</Types>
EOF
nupkg="$out/Orvo.OrvoModule.$version.nupkg"
rm -f "$nupkg"
(cd "$nuget" && zip -qX -D -r "$nupkg" '[Content_Types].xml' Orvo.OrvoModule.nuspec lib runtimes)

unity="$out/com.orvo.orvomodule"
rm -rf "$unity" && cp -R "$csharp/unity" "$unity"
sed -i "s/@VERSION@/$version/" "$unity/package.json"
cp "$csharp/OrvoModule.cs" "$unity/Runtime/"
cp "$x64" "$unity/Plugins/x86_64/libOrvoModule.so"
cp "$arm64" "$unity/Plugins/arm64/libOrvoModule.so"
echo "C#: $nupkg and $unity/"
