% SPDX-License-Identifier: MIT
% Loads every MAT-file listed in DIR/expected.txt with GNU Octave's load
% (format found by Octave itself) and checks the variables: their names in
% file order, nothing more or less, sizes, and every value bit for bit.
% Octave holds all Level 4 data as double; a single survives that exactly,
% so its bits are those of single(x), and a 16-bit value is a whole number
% in range.
%   usage: octave-cli check.m DIR
1;

function bad(file, var, what)
  fprintf(2, '%s: %s: %s\n', file, var, what);
  exit(1);
end

args = argv();
dir = args{1};
fid = fopen(fullfile(dir, 'expected.txt'), 'r');
if fid < 0
  bad(dir, 'expected.txt', 'cannot open');
end

nfiles = 0;
nvalues = 0;
line = fgetl(fid);
while ischar(line)
  [word, rest] = strtok(line);
  if ~strcmp(word, 'file')
    bad(dir, 'expected.txt', ['unexpected line ' line]);
  end
  [file, rest] = strtok(rest);
  nvars = str2double(rest);
  s = load(fullfile(dir, file));
  got = fieldnames(s);
  names = cell(nvars, 1);
  for k = 1:nvars
    line = fgetl(fid);
    [names{k}, rest] = strtok(line);
    [type, rest] = strtok(rest);
    [rows, rest] = strtok(rest);
    rows = str2double(rows);
    name = names{k};
    if ~isfield(s, name)
      bad(file, name, 'missing');
    end
    x = s.(name);
    if ~isa(x, 'double') || ~isreal(x) || issparse(x)
      bad(file, name, ['loaded as ' class(x)]);
    end
    if ~isequal(size(x), [rows 1])
      bad(file, name, sprintf('size %s, expected %dx1', mat2str(size(x)), rows));
    end
    switch type
      case 'int16'
        want = sscanf(rest, '%d');
        if any(x ~= fix(x)) || any(x < -32768 | x > 32767)
          bad(file, name, 'not a 16-bit integer');
        end
        if ~isequal(x(:), want(:))
          bad(file, name, sprintf('is %s, expected %s', mat2str(x'), mat2str(want')));
        end
      case 'single'
        want = sscanf(rest, '%x');
        if ~isequaln(double(single(x)), x)
          bad(file, name, 'not a single value');
        end
        bits = double(typecast(single(x(:)), 'uint32'));
        if numel(bits) ~= numel(want)
          bad(file, name, 'wrong number of values');
        end
        diff = find(bits ~= want(:), 1);
        if ~isempty(diff)
          bad(file, name, sprintf('value %d has bits %08x, expected %08x', ...
                                  diff, bits(diff), want(diff)));
        end
      otherwise
        bad(file, name, ['unknown type ' type]);
    end
    nvalues = nvalues + rows;
  end
  if ~isequal(got(:), names(:))
    bad(file, '', ['variables ' strjoin(got', ' ') ', expected ' strjoin(names', ' ')]);
  end
  nfiles = nfiles + 1;
  line = fgetl(fid);
end
fclose(fid);
if nfiles == 0
  bad(dir, 'expected.txt', 'lists no file');
end
printf('octave: %d MAT-files, %d values as expected\n', nfiles, nvalues);
