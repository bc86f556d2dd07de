-- rand in every position of a loop (see randoms.rill), with the same
-- generator: linear congruential, 15-bit draws.
local state = os.time() % 4294967296
local n, bad = 0, 0
for _ = 1, 10000000 do
  state = (state * 214013 + 2531011) % 4294967296
  local d = state // 65536 % 32768
  local m = d * 100
  local a = m // 32768
  if a > 99 then bad = bad + 1 end
  state = (state * 214013 + 2531011) % 4294967296
  local e = state // 65536 % 32768
  local r = e * 1.0 / 32768.0
  if r >= 1.0 then bad = bad + 1 end
  n = n + 1
end
print(string.format("%d %d", n, bad))
