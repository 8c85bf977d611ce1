// Test assembly for the .NET part, type forwarders only: mcs -target:library -r:Signed.dll -out:Fwd.dll Fwd.cs
using System.Runtime.CompilerServices;
[assembly: TypeForwardedTo(typeof(Signed.Shapes))]
[assembly: TypeForwardedTo(typeof(System.Collections.Generic.List<>))]
