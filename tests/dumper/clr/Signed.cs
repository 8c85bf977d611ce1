// Test assembly for the .NET part, strong-named with a throwaway key:
// mcs -target:library -keyfile:test.snk -resource:note.txt,Signed.note.txt -out:Signed.dll Signed.cs
using System.Reflection;
[assembly: AssemblyVersion("1.2.3.4")]
namespace Signed {
  public struct Point { public int X, Y; }
  public class Shapes {
    public static Point Origin() { return new Point(); }
    public virtual string Name { get { return "shapes"; } }
  }
}
