// The F# app of the engine comparison: F# leaves a call in tail position as an explicit tail
// call, which the trace reports as such whichever engine traced it.
namespace FsTail.Calls

open System.Runtime.CompilerServices

module Chain =
    [<MethodImpl(MethodImplOptions.NoInlining)>]
    let finish (x: int) = x * 2

    // Its last act calls the function it was given: compiled as an explicit tail call.
    [<MethodImpl(MethodImplOptions.NoInlining)>]
    let apply (f: int -> int) (x: int) = f (x + 1)

    [<MethodImpl(MethodImplOptions.NoInlining)>]
    let step (x: int) = apply finish x + 0

    [<MethodImpl(MethodImplOptions.NoInlining)>]
    let run (n: int) =
        let mutable total = 0
        for i in 1 .. n do
            total <- total + step i
        total

module Program =
    [<EntryPoint>]
    let main argv =
        printfn "%d" (Chain.run 5)
        0
