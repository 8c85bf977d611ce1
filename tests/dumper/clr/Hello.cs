// Test assembly for the .NET part: mcs -unsafe -out:Hello.exe Hello.cs
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Demo {
  public static class Native {
    [DllImport("kernel32.dll", EntryPoint = "GetTickCount")]
    public static extern uint Ticks();
    [DllImport("user32.dll", CharSet = CharSet.Unicode)]
    static extern int MessageBoxW(IntPtr owner, string text, string caption, uint type);
  }

  public class Box<T> {
    public T Value;
    public List<T> Items = new List<T>();
    public Box(T v) { Value = v; }
    public U Map<U>(Func<T, U> f) { return f(Value); }
    public class Inner {
      public int[,] Grid;
      public static void Swap(ref int a, ref int b) { int t = a; a = b; b = t; }
    }
  }

  interface IShape { double Area(); }
  abstract class Shape : IShape { public abstract double Area(); }
  sealed class Circle : Shape {
    public override double Area() { return 3.14; }
    public static unsafe byte* Skip(byte* p) { return p + 1; }
  }

  static class Program {
    static int Main(string[] args) { return Add(args.Length, 2); }
    public static int Add(int a, int b) { return a + b; }
  }
}
